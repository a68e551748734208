// Durable files alike on every backend: replacement that leaves no transaction file, creation that
// never replaces, entry moves, tree removal up to its depth bound, removal of what is free.

#include "platform/durable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/test_util.h"
#include "platform/entries.h"
#include "support/temp_dir.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
using tovra::testing::outcome;
using tovra::testing::read_file;
using tovra::testing::TempDir;
using tovra::testing::write_file;
using Names = std::vector<std::string>;

// Every name in a folder, so a leftover transaction file shows up in a failure message.
Names names_in(const fs::path& folder) {
  Names names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
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
}  // namespace tovra
