// Path rules, private folders and files, and durable files alike on every backend: replacement
// that leaves no transaction file, creation that never replaces, entry moves, tree removal up to
// its depth bound, removal of what is free.

#include "platform/storage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/test_util.h"
#include "platform/durable.h"
#include "platform/entries.h"
#include "support/temp_dir.h"

namespace tovra::windows_security {
namespace {

namespace fs = std::filesystem;
using tovra::testing::names_in;
using tovra::testing::outcome;
using tovra::testing::read_file;
using tovra::testing::TempDir;
using tovra::testing::write_file;
using Names = std::vector<std::string>;

const std::string not_ordinary =
    "unsafe_path: Private Windows storage must be an ordinary directory or single-link file";

std::string repeat(std::string_view unit, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += unit;
  return text;
}

TEST(PathRules, ComponentsAreCheckedAsOnWindows) {
  const std::string unsafe = "unsafe_path: Windows storage path contains an unsafe component";
  const std::string reserved = "unsafe_path: Windows storage path contains a reserved device name";
  const std::string control = "unsafe_path: Windows storage path contains a control character";
  const struct {
    std::string path;
    std::string expected;
  } cases[] = {
      {"Com3", reserved},        {"LPT\xC2\xB2", reserved},  {"data/com1.tar.gz", reserved},
      {"con", reserved},         {"com0", "ok"},             {"console", "ok"},
      {"COM10", "ok"},           {"LPT\xC2\xB4", "ok"},      {"name.", unsafe},
      {"name ", unsafe},         {"a/../b", unsafe},         {"a|b", unsafe},
      {"a\x01z", control},       {repeat("x", 255), "ok"},   {repeat("x", 256), unsafe},
      // Lengths are UTF-16 units: a four-byte character is two, a two-byte one is one.
      {repeat("\xF0\x9F\x98\x80", 127) + "x", "ok"},
      {repeat("\xF0\x9F\x98\x80", 128), unsafe},
      {repeat("\xC3\xA9", 255), "ok"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(outcome([&] { check_path_components(native_path(c.path)); }), c.expected) << c.path;
  }
  EXPECT_EQ(check_path_components(native_path("a/./b//c/")), 3u);
  EXPECT_EQ(check_path_components(native_path("/abs/x")), 2u);
  EXPECT_EQ(check_path_components(native_path(repeat("d/", 128))), 128u);
  EXPECT_EQ(outcome([] { check_path_components(native_path(repeat("d/", 129))); }), unsafe);
}

TEST(PathRules, NormalizationRefusesRootsNetworkFormsAndOversizedPaths) {
  tovra::testing::TempDir temp;
  const std::string oversized = "unsafe_path: Windows storage path is empty, oversized or contains an unsafe root";
  const std::string network = "unsafe_path: Windows private storage cannot be a network or device path";
  const fs::path root = temp.path().root_path();
  EXPECT_EQ(outcome([] { normalize_private_path("", true); }), oversized);
  EXPECT_EQ(outcome([] { normalize_private_path("/" + repeat("a/", 2048), true); }), oversized);
  EXPECT_EQ(outcome([] { normalize_private_path(std::string("/a\0b", 4), true); }), oversized);
  EXPECT_EQ(outcome([] { normalize_private_path("\\\\?\\C:\\x", true); }), network);
  EXPECT_EQ(outcome([&] { normalize_private_path(root, false); }),
            "unsafe_path: A drive root cannot be a private Tovra directory");
  EXPECT_EQ(normalize_private_path(root, true), root);
  EXPECT_EQ(normalize_private_path(temp / "a/./b/", false), temp.path() / "a" / "b");
  EXPECT_EQ(normalize_private_path("rel/x", false), fs::current_path() / "rel/x");
}

TEST(PrivateFolders, CreatesAtMost32FoldersPerCall) {
  tovra::testing::TempDir temp;
  fs::path path = temp / "deep";
  ensure_private_directory(path);
  for (int i = 1; i <= 33; ++i) path /= "d" + std::to_string(i);
  EXPECT_EQ(outcome([&] { ensure_private_directory(path); }),
            "size_limit: Windows storage creation exceeds its parent limit");
  EXPECT_TRUE(fs::is_directory(path.parent_path()));
  EXPECT_FALSE(fs::exists(path));
  // The next call goes on from the 32 that remain.
  EXPECT_EQ(outcome([&] { ensure_private_directory(path); }), "ok");
}

TEST(PrivateFolders, ChainsReachOnlyOrdinaryFoldersAndFilesAreNeverTruncated) {
  tovra::testing::TempDir temp;
  const fs::path folder = temp / "data";
  ensure_private_directory(folder);
  tovra::testing::write_file(folder / "file", "x");
  EXPECT_EQ(outcome([&] { open_directory_chain(folder / "file", true, false, current_user_identity(), false); }),
            not_ordinary);
  EXPECT_EQ(outcome([&] { open_directory_chain(folder / "missing", true, false, current_user_identity(), false); }),
            "unsafe_path: Cannot open the Windows storage directory");

  for (const Disposition refused : {Disposition::create_always, Disposition::truncate_existing}) {
    EXPECT_EQ(outcome([&] { open_private_file(folder / "f", FileAccess::write, share_none, refused, 0, true); }),
              "unsafe_path: Private file opening must not truncate existing content");
  }
  ASSERT_TRUE(open_private_file(folder / "f", FileAccess::write, share_none, Disposition::create_new, 0, true));
  EXPECT_FALSE(open_private_file(folder / "f", FileAccess::write, share_none, Disposition::create_new, 0, true));
  // A second name for the file makes it shared.
  fs::create_hard_link(folder / "f", folder / "second");
  EXPECT_EQ(outcome([&] {
              open_private_file(folder / "f", FileAccess::read, share_read, Disposition::open_existing, 0, true);
            }),
            not_ordinary);
}

TEST(DurableWrite, ReplacesAndCreatesWithoutLeavingTransactionFiles) {
  TempDir temp;
  const fs::path records = temp / "data" / "state";
  write_private_file(records / "record.json", "first");
  write_private_file(records / "record.json", "second, longer content");
  write_private_file(records / "empty", "");
  EXPECT_EQ(read_file(records / "record.json"), "second, longer content");
  EXPECT_EQ(read_file(records / "empty"), "");
  EXPECT_EQ(names_in(records), (Names{"empty", "record.json"}));

  // An owned file is created once: a second export fails at the commit and keeps the first.
  const fs::path owned = temp / "entry.desktop";
  create_owned_file(owned, "one");
  const std::string second = outcome([&] { create_owned_file(owned, "two"); });
  EXPECT_EQ(second.rfind("file_write: Cannot commit transaction file " + owned.generic_string() + " (", 0), 0u)
      << second;
  EXPECT_EQ(read_file(owned), "one");
  EXPECT_EQ(outcome([&] { create_owned_file(temp / "missing" / "file", "x"); }),
            "unsafe_path: Export parent must be an existing plain directory");
  EXPECT_EQ(names_in(temp.path()), (Names{"data", "entry.desktop"}));
}

TEST(DurableWrite, MovesWithoutReplacingAndRemovesSingleEntries) {
  TempDir temp;
  fs::create_directories(temp / "staging" / "bootstrap");
  fs::create_directories(temp / "staging" / "again");
  write_file(temp / "staging" / "bootstrap" / "file", "x");
  move_entry(temp / "staging" / "bootstrap", temp / "bootstrap");
  EXPECT_EQ(read_file(temp / "bootstrap" / "file"), "x");
  const std::string refused = outcome([&] { move_entry(temp / "staging" / "again", temp / "bootstrap"); });
  EXPECT_EQ(refused.rfind("file_write: Cannot move ", 0), 0u) << refused;
  EXPECT_FALSE(remove_entry(temp / "bootstrap"));
  EXPECT_TRUE(remove_entry(temp / "bootstrap" / "file"));
  EXPECT_TRUE(remove_entry(temp / "bootstrap"));
  EXPECT_FALSE(fs::exists(temp / "bootstrap"));
  // What never existed, or whose parent is gone, counts as removed.
  EXPECT_TRUE(remove_entry(temp / "bootstrap"));
  EXPECT_TRUE(remove_entry(temp / "vanished" / "entry"));
}

// `levels` nested folders below `root`, made through the long form a deep Windows path needs.
fs::path make_deep(const fs::path& root, int levels) {
  fs::path deepest = native_long_path(root);
  for (int i = 0; i < levels; ++i) deepest /= "d";
  fs::create_directories(deepest);
  return deepest;
}

TEST(TreeRemoval, RemovesReadOnlyFilesAndBoundsTheDepthBeforeDeleting) {
  TempDir temp;
  EXPECT_EQ(outcome([&] { remove_tree(temp / "missing" / "below"); }), "ok");
  write_file(temp / "plain", "");
  EXPECT_EQ(outcome([&] { remove_tree(temp / "plain"); }),
            "unsafe_path: Tree cleanup requires an ordinary directory and preserves reparse points");

  // 256 levels below the root are removed; one more is refused before anything is deleted.
  make_deep(temp / "ok", 256);
  write_file(temp / "ok" / "locked", "x");
  fs::permissions(temp / "ok" / "locked", fs::perms::owner_read, fs::perm_options::replace);
  EXPECT_EQ(outcome([&] { remove_tree(temp / "ok"); }), "ok");
  EXPECT_FALSE(fs::exists(temp / "ok"));
  const fs::path too_deep = make_deep(temp / "deep", 257);
  write_file(temp / "deep" / "file", "");
  EXPECT_EQ(outcome([&] { remove_tree(temp / "deep"); }), "size_limit: Tree cleanup exceeds its depth bound");
  EXPECT_TRUE(fs::exists(temp / "deep" / "file"));
  EXPECT_TRUE(fs::exists(too_deep));
}

TEST(Quarantine, WhatIsFreeIsRemovedWithoutAQuarantine) {
  TempDir temp;
  fs::create_directories(temp / "install" / "sub");
  write_file(temp / "install" / "free.txt", "x");
  write_file(temp / "install" / "sub" / "free.dll", "x");
  std::vector<fs::path> moved;
  remove_path_or_quarantine(temp / "install", temp / "quarantine", moved);
  EXPECT_FALSE(fs::exists(temp / "install"));
  write_file(temp / "gone.txt", "x");
  EXPECT_TRUE(remove_or_quarantine(temp / "gone.txt", temp / "quarantine"));
  EXPECT_TRUE(remove_or_quarantine(temp / "gone.txt", temp / "quarantine"));
  EXPECT_TRUE(moved.empty());
  EXPECT_FALSE(fs::exists(temp / "quarantine"));
}

}  // namespace
}  // namespace tovra::windows_security
