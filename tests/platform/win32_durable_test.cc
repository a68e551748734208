// Durable files on Windows: transaction-file exports, tree removal and quarantine, entry moves.
#ifdef _WIN32

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/durable.h"
#include "platform/entries.h"
#include "platform/storage.h"
#include "win32_test_support.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
using win32_testing::get_file;
using win32_testing::HeldFile;
using win32_testing::outcome;
using win32_testing::put_file;
using win32_testing::TempFolder;

std::size_t entries_in(const fs::path& folder) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

TEST(Win32Export, ReplacesPrivateFilesAndNeverLeavesTransactionFiles) {
  TempFolder temp;
  const auto record = temp / "data" / "state" / "record.json";
  write_private_file(record, "first");
  write_private_file(record, "second");
  EXPECT_EQ(get_file(record), "second");
  write_private_file(temp / "data" / "empty", "");
  EXPECT_EQ(get_file(temp / "data" / "empty"), "");
  EXPECT_EQ(entries_in(record.parent_path()), 1u);

  // An owned file is created once; a second export fails at the commit and keeps the first.
  std::filesystem::create_directories(temp / "menu");
  create_owned_file(temp / "menu" / "a.lnk", "link");
  const std::string second = outcome([&] { create_owned_file(temp / "menu" / "a.lnk", "other"); });
  EXPECT_EQ(second.rfind("file_write: Cannot commit transaction file ", 0), 0u) << second;
  EXPECT_EQ(get_file(temp / "menu" / "a.lnk"), "link");
  EXPECT_EQ(entries_in(temp / "menu"), 1u);
  EXPECT_EQ(outcome([&] { create_owned_file(temp / "absent" / "a.lnk", "x"); }),
            "unsafe_path: Export parent must be an existing plain directory");
}

TEST(Win32Export, RetriesWhileTheDestinationIsBrieflyHeld) {
  TempFolder temp;
  const auto record = temp / "data" / "record.json";
  write_private_file(record, "old");
  HeldFile held(record, FILE_SHARE_READ);
  ASSERT_TRUE(held.open());
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    held.close();
  });
  const std::string result = outcome([&] { write_private_file(record, "new"); });
  release.join();
  EXPECT_EQ(result, "ok");
  EXPECT_EQ(get_file(record), "new");
}

TEST(Win32Export, MapsDiskFullErrorsToTheSpaceProblem) {
  for (const int error : {112, 39, 1295}) {
    EXPECT_EQ(outcome([&] { raise_file_write_error(error, "Cannot write"); }),
              "insufficient_space: Local storage cannot save data; free space and try again");
  }
  EXPECT_EQ(outcome([] { raise_file_write_error(5, "Cannot write"); }), "file_write: Cannot write (5)");
  EXPECT_EQ(native_long_path(L"C:/a/./b").native(), L"\\\\?\\C:\\a\\b");
}

TEST(Win32RemoveTree, RemovesReadOnlyFilesAndBoundsTheDepth) {
  TempFolder temp;
  EXPECT_EQ(outcome([&] { remove_tree(temp / "missing"); }), "ok");
  const auto tree = temp / "tree";
  fs::create_directories(tree / "a" / "b");
  put_file(tree / "a" / "b" / "locked.txt", "x");
  ASSERT_TRUE(::SetFileAttributesW((tree / "a" / "b" / "locked.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  remove_tree(tree);
  EXPECT_FALSE(fs::exists(tree));

  put_file(temp / "plain", "x");
  EXPECT_EQ(outcome([&] { remove_tree(temp / "plain"); }),
            "unsafe_path: Tree cleanup requires an ordinary directory and preserves reparse points");

  // 256 levels below the root are removed; one more is refused before anything is deleted.
  std::wstring deep = L"\\\\?\\" + (temp / "deep").native();
  for (int i = 0; i < 256; ++i) deep += L"\\d";
  ASSERT_TRUE(fs::create_directories(deep));
  remove_tree(temp / "deep");
  EXPECT_FALSE(fs::exists(temp / "deep"));
  ASSERT_TRUE(fs::create_directories(deep + L"\\d"));
  EXPECT_EQ(outcome([&] { remove_tree(temp / "deep"); }), "size_limit: Tree cleanup exceeds its depth bound");
  EXPECT_TRUE(fs::exists(deep + L"\\d"));
}

TEST(Win32Quarantine, RemovesFreeFilesAndRefusesWhatCannotBeMovedAside) {
  TempFolder temp;
  const auto folder = temp / "install";
  fs::create_directories(folder / "sub");
  put_file(folder / "free.txt", "x");
  put_file(folder / "sub" / "busy.dll", "y");
  const auto quarantine = temp / "quarantine";
  std::vector<fs::path> moved;
  {
    // Held without delete sharing: neither deleting nor renaming it can succeed.
    HeldFile held(folder / "sub" / "busy.dll", FILE_SHARE_READ);
    ASSERT_TRUE(held.open());
    const std::string refused = outcome([&] { remove_path_or_quarantine(folder, quarantine, moved); });
    EXPECT_EQ(refused, "file_remove: Cannot remove " + (folder / "sub" / "busy.dll").generic_string() +
                           "; close the program that uses it and try again");
  }
  EXPECT_TRUE(moved.empty());
  EXPECT_TRUE(fs::exists(folder / "sub" / "busy.dll"));
  remove_path_or_quarantine(folder, quarantine, moved);
  EXPECT_TRUE(moved.empty());
  EXPECT_FALSE(fs::exists(folder));

  put_file(temp / "gone.txt", "x");
  EXPECT_TRUE(remove_or_quarantine(temp / "gone.txt", quarantine));
  EXPECT_TRUE(remove_or_quarantine(temp / "never.txt", quarantine));
}

TEST(Win32Entries, MovesWithoutReplacingAndRemovesSingleEntries) {
  TempFolder temp;
  const auto data = temp / "data";
  windows_security::ensure_private_directory(data / "staging" / "bootstrap");
  put_file(data / "staging" / "bootstrap" / "file", "x");
  move_entry(data / "staging" / "bootstrap", data / "bootstrap");
  EXPECT_EQ(get_file(data / "bootstrap" / "file"), "x");
  fs::create_directories(data / "staging" / "again");
  const std::string refused = outcome([&] { move_entry(data / "staging" / "again", data / "bootstrap"); });
  EXPECT_EQ(refused.rfind("file_write: Cannot move ", 0), 0u) << refused;
  EXPECT_TRUE(remove_entry(data / "bootstrap" / "file"));
  EXPECT_TRUE(remove_entry(data / "bootstrap"));
  EXPECT_TRUE(remove_entry(data / "bootstrap"));
  EXPECT_FALSE(fs::exists(data / "bootstrap"));
  put_file(data / "staging" / "again" / "keep", "x");
  EXPECT_FALSE(remove_entry(data / "staging" / "again"));
  // Below a parent that is already gone there is nothing left to remove.
  EXPECT_TRUE(remove_entry(data / "vanished" / "entry"));
}

}  // namespace
}  // namespace tovra

#endif  // _WIN32
