#include "platform/storage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "core/test_util.h"
#include "platform/delayed_removal.h"
#include "platform/durable.h"
#include "support/temp_dir.h"

namespace tovra::windows_security {
namespace {

namespace fs = std::filesystem;
using tovra::testing::names_in;
using tovra::testing::outcome;
using tovra::testing::quoted;
using tovra::testing::read_file;
using tovra::testing::run_quiet;
using tovra::testing::TempDir;
using tovra::testing::write_file;
using Names = std::vector<std::string>;

const std::string not_ordinary = "Private Windows storage must be an ordinary directory or single-link file";

fs::perms mode_of(const fs::path& path) { return fs::symlink_status(path).permissions() & fs::perms::mask; }

// Only POSIX reads "\\" and ":" inside a component as characters, which Windows refuses there.
TEST(PathRules, SeparatorsOfWindowsAreUnsafeCharacters) {
  for (const char* path : {"a:b", "a\\b"})
    EXPECT_EQ(outcome([&] { check_path_components(path); }), "unsafe_path: Windows storage path contains an unsafe component")
        << path;
}

// A fresh folder below the test's private temporary folder, set up by a shell command.
class PrivateFolder : public ::testing::Test {
 protected:
  fs::path make(const std::string& name, const std::string& setup = "") {
    const fs::path path = temp_ / name;
    fs::create_directories(path);
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::replace);
    if (!setup.empty()) {
      EXPECT_EQ(run_quiet(setup + " " + quoted(path)), 0) << setup;
    }
    return path;
  }
  TempDir temp_;
};

TEST_F(PrivateFolder, RefusesEveryWayOfSharingAFolder) {
  const struct {
    std::string setup;
    std::string expected;
  } cases[] = {
      {"chown 12345", "permissions: Private Windows storage must belong to the current user"},
      {"chmod 0750", "permissions: Windows directory permissions are not private"},
      {"chmod 0500", "permissions: Private Windows storage must retain current-user access and private inheritance"},
      {"setfacl -m u:12345:rx", "permissions: Windows storage grants access to another identity (uid:12345)"},
      {"setfacl -m g:23456:r", "permissions: Windows storage grants access to another identity (gid:23456)"},
      {"setfacl -d -m u:12346:rwx", "permissions: Windows storage grants access to another identity (uid:12346)"},
      {"setfacl -d -m g::rx", "permissions: Windows directory permissions are not private"},
      // The superuser's entry widens the mask, not the owning group's access.
      {"setfacl -m u:0:rwx", "ok"},
  };
  int index = 0;
  for (const auto& c : cases) {
    const fs::path folder = make("case" + std::to_string(index++), c.setup);
    EXPECT_EQ(outcome([&] { ensure_private_directory(folder); }), c.expected) << c.setup;
  }
}

TEST_F(PrivateFolder, CreatesMissingFoldersPrivatelyWithoutInheritingAcls) {
  const fs::path parent = make("parent", "setfacl -d -m u:12345:rwx");
  const fs::path target = parent / "a" / "b";
  ensure_private_directory(target);
  EXPECT_EQ(mode_of(parent / "a"), fs::perms::owner_all);
  EXPECT_EQ(mode_of(target), fs::perms::owner_all);
}

TEST_F(PrivateFolder, NeverFollowsALinkInTheAncestry) {
  const fs::path real = make("real");
  fs::create_directory(real / "inner");
  fs::create_directory_symlink(real, temp_.path() / "link");
  fs::create_directory_symlink(real / "inner", real / "inner-link");
  const std::string refused = "unsafe_path: " + not_ordinary;
  EXPECT_EQ(outcome([&] { ensure_private_directory(temp_.path() / "link" / "new"); }), refused);
  EXPECT_EQ(outcome([&] { ensure_private_directory(real / "inner-link"); }), refused);
  EXPECT_FALSE(fs::exists(real / "new"));
  EXPECT_EQ(outcome([&] { sync_directory(temp_.path() / "link"); }), refused);
}

TEST_F(PrivateFolder, HoldsTheChainFromTheRoot) {
  const fs::path folder = make("held");
  with_directory_chain(folder, [&](const DirectoryChain& chain) {
    // Renaming the folder away does not move what the chain refers to.
    fs::rename(folder, temp_.path() / "moved");
    open_private_file_at(chain, "inside", FileAccess::write, Disposition::create_new, file_flag_none);
  });
  EXPECT_TRUE(fs::exists(temp_.path() / "moved" / "inside"));
}

TEST_F(PrivateFolder, OpensOnlyPrivateSingleLinkFiles) {
  const fs::path folder = make("files");
  ASSERT_TRUE(open_private_file(folder / "new", FileAccess::write, share_none, Disposition::create_new, file_flag_none,
                                true));
  EXPECT_EQ(mode_of(folder / "new"), fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_TRUE(open_private_file(folder / "program", FileAccess::write, share_none, Disposition::open_always,
                                file_flag_executable, true));
  EXPECT_EQ(mode_of(folder / "program"), fs::perms::owner_all);

  OpenedFile missing = open_private_file(folder / "missing", FileAccess::read, share_read,
                                         Disposition::open_existing, file_flag_none, true);
  EXPECT_FALSE(missing);
  EXPECT_EQ(missing.error, static_cast<int>(std::errc::no_such_file_or_directory));

  fs::copy_file(folder / "program", folder / "shared");
  fs::permissions(folder / "shared", fs::perms::group_read, fs::perm_options::add);
  fs::create_symlink(folder / "program", folder / "file-link");
  ASSERT_EQ(run_quiet("mkfifo " + quoted(folder / "fifo")), 0);
  const auto open_existing = [&](const char* name) {
    return outcome([&] {
      open_private_file(folder / name, FileAccess::read_write, share_none, Disposition::open_existing,
                        file_flag_none, true);
    });
  };
  EXPECT_EQ(open_existing("shared"), "permissions: Windows directory permissions are not private");
  EXPECT_EQ(open_existing("fifo"), "unsafe_path: " + not_ordinary);
  EXPECT_FALSE(open_private_file(folder / "file-link", FileAccess::read, share_none, Disposition::open_existing,
                                 file_flag_none, true));
  // An owned file is never created through a dangling link either.
  fs::create_symlink(folder / "target", folder / "dangling");
  OpenedFile owned = open_owned_file(folder / "dangling", FileAccess::write, share_none, Disposition::open_always,
                                     file_flag_none);
  EXPECT_FALSE(owned);
  EXPECT_EQ(owned.error, static_cast<int>(std::errc::too_many_symbolic_link_levels));
  EXPECT_FALSE(fs::exists(folder / "target"));
}

TEST_F(PrivateFolder, DestinationIdentityIgnoresTheRouteTaken) {
  const fs::path folder = make("identity");
  fs::create_directories(folder / "real" / "sub");
  tovra::testing::write_file(folder / "real" / "file", "x");
  const std::string base = destination_identity(folder / "real", true);
  EXPECT_EQ(destination_identity(folder / "real" / "New" / "Sub", true), base + "/New/Sub");
  EXPECT_EQ(destination_identity(folder / "real" / "." / "sub/", true), base + "/sub");
  EXPECT_EQ(destination_identity(folder / "real" / "file", false), base + "/file");
  EXPECT_EQ(outcome([&] { destination_identity(folder / "real" / "file", true); }),
            "unsafe_path: Windows path ancestry requires ordinary directories");
  fs::create_directory_symlink(folder / "real", folder / "link");
  EXPECT_EQ(outcome([&] { destination_identity(folder / "link" / "sub", true); }), "unsafe_path: " + not_ordinary);

  fs::create_directory(folder / "bound");
  if (run_quiet("mount --bind " + quoted(folder / "real") + " " + quoted(folder / "bound")) != 0)
    GTEST_SKIP() << "bind mounts are not available";
  const tovra::testing::Unmount unmount{folder / "bound"};
  EXPECT_EQ(destination_identity(folder / "bound", true), base);
  EXPECT_EQ(destination_identity(folder / "bound" / "sub" / "x", true), base + "/sub/x");
  // A quarantine in the temporary folder needs a rename, which crosses no mount of one device.
  if (temporary_folder_on_volume_of(folder / "real" / "data") == fs::path("/tmp")) {
    EXPECT_EQ(temporary_folder_on_volume_of(folder / "bound" / "data"), std::nullopt);
  }
}


TEST(DurableWrite, ReplacementArrivesByRenameIntoPrivateFolders) {
  TempDir temp;
  const fs::path records = temp / "data" / "state";
  write_private_file(records / "record.json", "first");
  // An owned file takes what its private folder grants.
  create_owned_file(records / "entry.desktop", "one");
  EXPECT_EQ(mode_of(records / "entry.desktop"), fs::perms::owner_read | fs::perms::owner_write);

  // A reader of the old file keeps the old content: the new one arrives by rename, never in place.
  std::ifstream old_reader(records / "record.json", std::ios::binary);
  write_private_file(records / "record.json", "second");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(old_reader), {}), "first");
}

TEST(DurableWrite, LinksAreRefusedAndLeaveNoTransactionFile) {
  TempDir temp;
  const fs::path folder = temp / "folder";
  fs::create_directory(folder);
  fs::create_symlink(folder / "nowhere", folder / "dangling");
  fs::create_directory_symlink(folder, temp / "folder-link");

  EXPECT_EQ(outcome([&] { create_owned_file(folder / "dangling", "x"); }),
            "unsafe_path: Refusing to replace a symbolic link");
  EXPECT_EQ(outcome([&] { create_owned_file(temp / "folder-link" / "file", "x"); }),
            "unsafe_path: Export parent must be an existing plain directory");
  EXPECT_FALSE(fs::exists(folder / "nowhere"));
  EXPECT_EQ(names_in(folder), (Names{"dangling"}));
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
  EXPECT_EQ(mode_of(tree / "a" / "b"), fs::perms::owner_read | fs::perms::owner_exec);

  fs::create_directory_symlink(outside, temp / "root-link");
  const std::string not_a_tree = "unsafe_path: Tree cleanup requires an ordinary directory and preserves reparse points";
  EXPECT_EQ(outcome([&] { remove_tree(temp / "root-link"); }), not_a_tree);
  EXPECT_EQ(outcome([&] { remove_tree(temp / "root-link" / "x"); }), not_a_tree);
  EXPECT_EQ(read_file(outside / "keep"), "keep");

  // A mounted folder inside the tree is never entered, even from the same device; nothing is
  // removed from a tree that holds one, and the problem names it.
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
    EXPECT_EQ(files_in(tree) - files_in(mounted), 32u);
    EXPECT_EQ(read_file(mounted / "keep.old"), "keep");
  }
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
  EXPECT_EQ(outcome([&] { remove_path_or_quarantine(temp / "up" / "dir", temp / "quarantine", moved); }),
            "file_remove: Cannot remove " + (temp / "up" / "dir").generic_string());
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
}  // namespace tovra::windows_security
