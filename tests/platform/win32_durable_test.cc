// Durable files on Windows: commits that wait for a brief holder, the disk-full errors, and a
// held file that cannot be moved aside.
#ifdef _WIN32

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/durable.h"
#include "win32_test_support.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
using testing::outcome;
using testing::read_file;
using testing::TempDir;
using testing::write_file;
using win32_testing::HeldFile;

TEST(Win32Export, RetriesWhileTheDestinationIsBrieflyHeld) {
  TempDir temp;
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
  EXPECT_EQ(read_file(record), "new");
}

TEST(Win32Export, MapsDiskFullErrorsToTheSpaceProblem) {
  for (const int error : {112, 39, 1295}) {
    EXPECT_EQ(outcome([&] { raise_file_write_error(error, "Cannot write"); }),
              "insufficient_space: Local storage cannot save data; free space and try again");
  }
  EXPECT_EQ(outcome([] { raise_file_write_error(5, "Cannot write"); }), "file_write: Cannot write (5)");
  EXPECT_EQ(native_long_path(L"C:/a/./b").native(), L"\\\\?\\C:\\a\\b");
}

TEST(Win32Quarantine, AFileHeldWithoutDeleteSharingIsReportedAndKept) {
  TempDir temp;
  const auto folder = temp / "install";
  fs::create_directories(folder / "sub");
  write_file(folder / "sub" / "busy.dll", "y");
  std::vector<fs::path> moved;
  // Neither deleting nor renaming it can succeed.
  HeldFile held(folder / "sub" / "busy.dll", FILE_SHARE_READ);
  ASSERT_TRUE(held.open());
  EXPECT_EQ(outcome([&] { remove_path_or_quarantine(folder, temp / "quarantine", moved); }),
            "file_remove: Cannot remove " + (folder / "sub" / "busy.dll").generic_string() +
                "; close the program that uses it and try again");
  EXPECT_TRUE(moved.empty());
  held.close();
  EXPECT_EQ(read_file(folder / "sub" / "busy.dll"), "y");
}

}  // namespace
}  // namespace tovra

#endif  // _WIN32
