// The installer's refusals and lock checks, the same on every platform.

#include "installer_fixture.h"

namespace tovra {
namespace {

TEST_F(Installer, RefusalsAndLocksHeldByOthersStopTheRun) {
  ASSERT_EQ(install().exit_code, 0);
  ProcessResult again = install();
  EXPECT_EQ(again.exit_code, 1);
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(last_line(again.err), "Tovra is already installed in " + data_.string() + "; use repair\n");

  ProcessResult json_problem = run({"--package", TOVRA_E2E_PACKAGE, "--data-dir", data_.string(), "--json"});
  EXPECT_EQ(json_problem.exit_code, 1);
  EXPECT_EQ(Json::parse(json_problem.out)["problem"]["code"], "already_installed");
  {
    NativeFileLock setup = NativeFileLock::acquire(data_ / ".tovra-setup.lock", false, true, false);
    ProcessResult busy = install("repair");
    EXPECT_EQ(busy.exit_code, 1);
    EXPECT_EQ(last_line(busy.err), "Another worker owns this native installation\n");
  }
  {
    NativeFileLock running = NativeFileLock::acquire(data_ / ".native-bootstrap.lock", true, true, true);
    ProcessResult blocked = install("repair");
    EXPECT_EQ(blocked.exit_code, 1);
    EXPECT_EQ(json_of({"status"})["last_operation"]["outcome"], "failed");
  }
  EXPECT_EQ(install("repair").exit_code, 0);
  EXPECT_EQ(json_of({"status"})["last_operation"]["outcome"], "succeeded");
}

}  // namespace
}  // namespace tovra
