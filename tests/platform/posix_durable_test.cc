#include "platform/durable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/test_util.h"
#include "support/temp_dir.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
using tovra::testing::outcome;
using tovra::testing::quoted;
using tovra::testing::read_file;
using tovra::testing::run_quiet;
using tovra::testing::TempDir;
using tovra::testing::write_file;

// Every name in a folder, so a leftover transaction file shows up in a failure message.
std::vector<std::string> names_in(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

using Names = std::vector<std::string>;

TEST(DurableWrite, ReplacementArrivesByRenameIntoPrivateFolders) {
  TempDir temp;
  const fs::path records = temp / "data" / "state";
  write_private_file(records / "record.json", "first");
  EXPECT_EQ(fs::status(records).permissions() & fs::perms::mask, fs::perms::owner_all);
  EXPECT_EQ(fs::status(records / "record.json").permissions() & fs::perms::mask,
            fs::perms::owner_read | fs::perms::owner_write);
  // An owned file takes what its private folder grants.
  create_owned_file(records / "entry.desktop", "one");
  EXPECT_EQ(fs::status(records / "entry.desktop").permissions() & fs::perms::mask,
            fs::perms::owner_read | fs::perms::owner_write);

  // A reader of the old file keeps the old content: the new one arrives by rename, never in place.
  std::ifstream old_reader(records / "record.json", std::ios::binary);
  write_private_file(records / "record.json", "second");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(old_reader), {}), "first");
  EXPECT_EQ(read_file(records / "record.json"), "second");
}

TEST(DurableWrite, FailuresLeaveTheDestinationAndNoTransactionFile) {
  TempDir temp;
  const fs::path folder = temp / "folder";
  fs::create_directory(folder);
  fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
  fs::create_directory(folder / "is-a-directory");
  write_file(folder / "target", "target");
  fs::create_symlink(folder / "target", folder / "link");
  fs::create_symlink(folder / "nowhere", folder / "dangling");
  fs::create_directory_symlink(folder, temp / "folder-link");

  const std::string link_refused = "unsafe_path: Refusing to replace a symbolic link";
  EXPECT_EQ(outcome([&] { write_private_file(folder / "link", "x"); }), link_refused);
  EXPECT_EQ(outcome([&] { create_owned_file(folder / "dangling", "x"); }), link_refused);
  EXPECT_EQ(outcome([&] { create_owned_file(temp / "folder-link" / "file", "x"); }),
            "unsafe_path: Export parent must be an existing plain directory");
  const std::string committed = outcome([&] { write_private_file(folder / "is-a-directory", "x"); });
  EXPECT_EQ(committed.rfind("file_write: Cannot commit transaction file " + (folder / "is-a-directory").generic_string() + " (", 0), 0u)
      << committed;

  EXPECT_EQ(read_file(folder / "target"), "target");
  EXPECT_FALSE(fs::exists(folder / "nowhere"));
  EXPECT_EQ(names_in(folder), (Names{"dangling", "is-a-directory", "link", "target"}));
}

TEST(DurableWrite, DiskFullIsInsufficientSpace) {
  TempDir temp;
  const fs::path small = temp / "small";
  fs::create_directory(small);
  if (run_quiet("mount -t tmpfs -o size=64k,mode=0700 tmpfs " + quoted(small)) != 0) GTEST_SKIP() << "cannot mount";
  const tovra::testing::Unmount unmount{small};
  write_private_file(small / "record", "old");
  EXPECT_EQ(outcome([&] { write_private_file(small / "record", std::string(1 << 20, 'x')); }),
            "insufficient_space: Local storage cannot save data; free space and try again");
  EXPECT_EQ(read_file(small / "record"), "old");
  EXPECT_EQ(names_in(small), (Names{"record"}));
}

TEST(DurableWrite, SyncsOnlyOrdinaryDirectories) {
  TempDir temp;
  fs::create_directory(temp / "dir");
  fs::create_directory_symlink(temp / "dir", temp / "link");
  EXPECT_EQ(outcome([&] { sync_directory(temp / "dir"); }), "ok");
  EXPECT_NE(outcome([&] { sync_directory(temp / "link"); }), "ok");
  EXPECT_NE(outcome([&] { sync_directory(temp / "missing"); }), "ok");
}

// A tree with files at every level, a nested read-only folder and an empty folder. Listing order
// is the file system's, so several files per level make a removal that runs ahead of its
// inspection show.
fs::path make_tree(const fs::path& root) {
  fs::create_directories(root / "a" / "b" / "c");
  fs::create_directories(root / "empty");
  for (const fs::path& level : {root, root / "a", root / "a" / "b", root / "a" / "b" / "c"})
    for (int i = 0; i < 8; ++i) write_file(level / ("f" + std::to_string(i)), "x");
  fs::permissions(root / "a" / "b", fs::perms::owner_read | fs::perms::owner_exec, fs::perm_options::replace);
  return root;
}

std::size_t files_in(const fs::path& root) {
  std::size_t count = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file()) ++count;
  return count;
}

TEST(TreeRemoval, RefusesLinksBeforeDeletingAnything) {
  TempDir temp;
  const fs::path outside = temp / "outside";
  fs::create_directory(outside);
  write_file(outside / "keep", "keep");

  const fs::path tree = make_tree(temp / "tree");
  fs::create_directory_symlink(outside, tree / "a" / "b" / "c" / "link");
  EXPECT_EQ(outcome([&] { remove_tree(tree); }), "unsafe_path: Tree cleanup preserves reparse points");
  EXPECT_EQ(files_in(tree), 32u);
  // The inspection changes nothing, not even the read-only folder on the way.
  EXPECT_EQ(fs::status(tree / "a" / "b").permissions() & fs::perms::mask,
            fs::perms::owner_read | fs::perms::owner_exec);

  fs::create_directory_symlink(outside, temp / "root-link");
  const std::string not_a_tree = "unsafe_path: Tree cleanup requires an ordinary directory and preserves reparse points";
  EXPECT_EQ(outcome([&] { remove_tree(temp / "root-link"); }), not_a_tree);
  EXPECT_EQ(outcome([&] { remove_tree(temp / "root-link" / "x"); }), not_a_tree);
  EXPECT_EQ(read_file(outside / "keep"), "keep");

  // A mounted folder inside the tree, or the removed path itself, is never entered, even from the
  // same device; nothing is removed from a tree that holds one, and the problem names it.
  fs::remove(tree / "a" / "b" / "c" / "link");
  const fs::path mounted = tree / "a" / "mounted";
  fs::create_directory(mounted);
  for (const std::string& how : {"--bind " + quoted(outside), std::string("-t tmpfs tmpfs")}) {
    SCOPED_TRACE(how);
    if (run_quiet("mount " + how + " " + quoted(mounted)) != 0) GTEST_SKIP() << "cannot mount: " << how;
    const tovra::testing::Unmount unmount{mounted};
    write_file(mounted / "keep.old", "keep");
    const std::string named = "file_remove: Cannot remove " + mounted.generic_string();
    std::vector<fs::path> moved;
    EXPECT_EQ(outcome([&] { remove_tree(tree); }), "unsafe_path: Tree cleanup preserves reparse points");
    EXPECT_EQ(outcome([&] { inspect_removal(tree); }), named);
    EXPECT_EQ(outcome([&] { remove_path_or_quarantine(tree, temp / "quarantine", moved); }), named);
    EXPECT_EQ(outcome([&] { remove_path_or_quarantine(mounted, temp / "quarantine", moved); }), named);
    EXPECT_EQ(files_in(tree) - files_in(mounted), 32u);
    EXPECT_EQ(read_file(mounted / "keep.old"), "keep");
  }
  EXPECT_EQ(read_file(outside / "keep.old"), "keep");
  EXPECT_EQ(outcome([&] { inspect_removal(tree); }), "ok");
  // Once the obstacle is gone, the whole tree goes, read-only folder and all.
  remove_tree(tree);
  EXPECT_FALSE(fs::exists(tree));
}

TEST(Quarantine, RemovesFilesLinksAndTreesWithoutFollowingLinks) {
  TempDir temp;
  fs::create_directory(temp / "outside");
  write_file(temp / "outside" / "keep", "keep");
  const fs::path tree = make_tree(temp / "tree");
  fs::create_directory_symlink(temp / "outside", tree / "link");
  std::vector<fs::path> moved;
  remove_path_or_quarantine(tree, temp / "quarantine", moved);
  EXPECT_FALSE(fs::exists(tree));
  EXPECT_EQ(read_file(temp / "outside" / "keep"), "keep");
  // A link above the removed path is never followed.
  fs::create_directory_symlink(temp / "outside", temp / "up");
  fs::create_directory(temp / "outside" / "dir");
  for (const fs::path& through : {temp / "up" / "keep", temp / "up" / "dir"}) {
    EXPECT_EQ(outcome([&] { remove_path_or_quarantine(through, temp / "quarantine", moved); }),
              "file_remove: Cannot remove " + through.generic_string());
  }
  EXPECT_EQ(outcome([&] { remove_or_quarantine(temp / "up" / "keep", temp / "quarantine"); }),
            "file_remove: Cannot remove " + (temp / "up" / "keep").generic_string());
  EXPECT_TRUE(fs::exists(temp / "outside" / "dir"));
  EXPECT_FALSE(fs::exists(temp / "quarantine"));
}

TEST(Quarantine, AFileThatCannotBeMovedAsideIsReported) {
  TempDir temp;
  const fs::path file = temp / "held";
  write_file(file, "x");
  if (run_quiet("chattr +i " + quoted(file)) != 0) GTEST_SKIP() << "immutable files are not available";
  std::vector<fs::path> moved;
  const std::string result = outcome([&] { remove_path_or_quarantine(file, temp / "quarantine", moved); });
  run_quiet("chattr -i " + quoted(file));
  EXPECT_EQ(result, "file_remove: Cannot remove " + file.generic_string() +
                        "; close the program that uses it and try again");
  EXPECT_TRUE(moved.empty());
  EXPECT_TRUE(fs::exists(file));
}

}  // namespace
}  // namespace tovra
