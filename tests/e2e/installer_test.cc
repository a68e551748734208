// The installer run end to end, the same on every platform. What each step decides is proven by
// the unit tests; here the program reads its own command line, runs the real package through the
// workflows, honours another process's lock and prints exact bytes.

#include "installer_fixture.h"
#include "platform/file_lock.h"
#include "support/wine.h"

namespace tovra {
namespace {

TEST_F(Installer, CommandLineInstallLockRepairAndUninstall) {
  std::vector<std::string> many(256, "-h");  // 257 entries with the program name
  const ProcessResult help = run(many);
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_TRUE(help.out.starts_with("Usage: tovra-install [COMMAND] [--data-dir DIR] [--json]\n")) << help.out;
  EXPECT_NE(help.out.find("\n  install [--package DIR]   Install Tovra (the default command)\n"), std::string::npos);
  many.push_back("-h");
  const ProcessResult too_many = run(many);
  EXPECT_EQ(too_many.exit_code, 1);
  EXPECT_EQ(too_many.out, "");
  EXPECT_EQ(too_many.err, "Too many native command arguments\n");

  const ProcessResult installed = on_data({"install"});
  ASSERT_EQ(installed.exit_code, 0) << installed.err;
  const std::string shortcut_problem = testing::under_wine() ? std::string(" The shortcut could not be created: ") +
                                                                  testing::kWineShortcutProblem : "";
  EXPECT_EQ(installed.out, "Installed Tovra in " + data_.string() + "." + shortcut_problem + "\n");
  EXPECT_NE(installed.err.find("Installing\u2026\n"), std::string::npos) << installed.err;

  {
    NativeFileLock setup = NativeFileLock::acquire(data_ / ".tovra-setup.lock", false, true, false);
    const ProcessResult busy = on_data({"repair"});
    EXPECT_EQ(busy.exit_code, 1);
    EXPECT_TRUE(busy.err.ends_with("Another worker owns this native installation\n")) << busy.err;
  }

  EXPECT_EQ(json_of({"repair"})["replaced"], Json::array());
  EXPECT_TRUE(json_of({"uninstall", "--remove-data"})["data_removed"]);
  EXPECT_FALSE(fs::exists(data_));
}

}  // namespace
}  // namespace tovra
