// Checks of the POSIX backend that fail once a file or folder exists: a refused new file never
// stays behind, and a new folder is flushed into its parent before it is used.

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/test_util.h"
#include "crash_fixture.h"
#include "platform/durable.h"
#include "platform/fault_injection.h"
#include "platform/prepared_file.h"
#include "platform/storage.h"
#include "support/temp_dir.h"

namespace tovra {

const int testing::kDiskFull = ENOSPC;
const int testing::kAccessDenied = EACCES;

namespace {

namespace fs = std::filesystem;

TEST(FaultChecks, FailedChecksAfterCreationLeaveNoFileBehind) {
  ASSERT_TRUE(fault_injection_available()) << "built without TOVRA_FAULT_INJECTION";
  testing::TempDir temp;
  const fs::path folder = temp / "records";
  write_private_file(folder / "first", "x");
  struct Case {
    const char* step;
    std::function<void()> action;
    std::string expected;
    std::vector<std::string> names;
  };
  const std::vector<Case> cases = {
      {"private file check", [&] { write_private_file(folder / "record", "x"); },
       "permissions: Windows directory permissions are not private", {"first"}},
      {"prepared file permissions", [&] { create_prepared_file(folder / "staged", 4); },
       "permissions: Cannot apply private file permissions (1)", {"first"}},
      {"new directory flush", [&] { windows_security::ensure_private_directory(folder / "new"); },
       "file_sync: This filesystem cannot synchronize the native directory (1)", {"first", "new"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.step);
    set_fault_plan({FaultPlan::Action::fail, 1, EPERM}, c.step);
    const std::string outcome = testing::outcome(c.action);
    set_fault_plan({});
    EXPECT_EQ(outcome, c.expected);
    EXPECT_EQ(testing::names_in(folder), c.names);
  }
}

}  // namespace
}  // namespace tovra
