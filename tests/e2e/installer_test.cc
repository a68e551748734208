// The installer's refusals and lock checks, the same on every platform.

#include "installer_fixture.h"

namespace tovra {
namespace {

TEST_F(Installer, RefusalsNameTheProblemAndChangeNothing) {
  ASSERT_EQ(install().exit_code, 0);
  ProcessResult again = install();
  EXPECT_EQ(again.exit_code, 1);
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(last_line(again.err), "Tovra is already installed in " + data_.string() + "; use repair\n");

  ProcessResult json_problem = run({"--package", TOVRA_E2E_PACKAGE, "--data-dir", data_.string(), "--json"});
  EXPECT_EQ(json_problem.exit_code, 1);
  EXPECT_EQ(Json::parse(json_problem.out)["problem"]["code"], "already_installed");

  const fs::path foreign = temp_ / "foreign";
  fs::create_directories(foreign);
  fs::permissions(foreign, fs::perms::owner_all);
  testing::write_file(foreign / "notes.txt", "mine");
  ProcessResult into_foreign = run({"--package", TOVRA_E2E_PACKAGE, "--data-dir", foreign.string()});
  EXPECT_EQ(into_foreign.exit_code, 1);
  EXPECT_EQ(last_line(into_foreign.err), "Choose an empty folder or an earlier Tovra data folder\n");
  EXPECT_EQ(fs::directory_iterator(foreign)->path().filename(), "notes.txt");

  const fs::path inside = fs::path(TOVRA_E2E_PACKAGE) / "data";
  ProcessResult overlap = run({"--package", TOVRA_E2E_PACKAGE, "--data-dir", inside.string()});
  EXPECT_EQ(overlap.exit_code, 1);
  EXPECT_EQ(last_line(overlap.err), "The package and data folders overlap\n");
  EXPECT_FALSE(fs::exists(inside));

  ProcessResult reserved = on_data({"shortcut", "create", "--game", "con"});
  EXPECT_EQ(reserved.exit_code, 1);
  EXPECT_EQ(last_line(reserved.err), "Path uses a reserved platform name\n");

  ProcessResult usage = on_data({"status", "--remove-data"});
  EXPECT_EQ(usage.exit_code, 2);
  EXPECT_EQ(last_line(usage.err), "--remove-data only applies to uninstall\n");
}

TEST_F(Installer, LocksHeldByOthersStopTheRun) {
  ASSERT_EQ(install().exit_code, 0);
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
