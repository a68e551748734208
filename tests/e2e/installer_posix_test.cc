// What only POSIX shows end to end: a real interrupt signal, the menu's desktop entries under
// HOME made and removed by the shortcut commands, and standard output that cannot be written.

#include <signal.h>

#include <cstdlib>

#include "core/test_util.h"
#include "installer_fixture.h"

namespace tovra {
namespace {

TEST_F(Installer, InterruptionCancelsAndShortcutCommandsUseTheMenu) {
  const ProcessResult interrupted = on_data({"install"}, testing::SignalWhen{"Installing", SIGINT});
  EXPECT_EQ(interrupted.exit_code, 4) << interrupted.err;

  ASSERT_EQ(on_data({"install"}).exit_code, 0);
  const fs::path menu = home_ / ".local/share/applications";
  EXPECT_TRUE(fs::is_regular_file(menu / "Tovra.desktop"));
  EXPECT_EQ(json_of({"shortcut", "create", "--game", "space-race"})["created"], (menu / "space-race.desktop").string());
  EXPECT_NE(testing::read_file(menu / "space-race.desktop").find(" --gui --game \"space-race\"\n"), std::string::npos);
  EXPECT_EQ(on_data({"shortcut", "remove"}).out, "Removed 2 shortcut(s).\n");
  EXPECT_FALSE(fs::exists(menu / "Tovra.desktop"));
}

// A result or usage text that cannot be written is a failure, not a silent success.
TEST_F(Installer, AnUnwrittenResultFails) {
  for (const std::string output : {"status >/dev/full", "status >&-", "--help >&-"}) {
    const std::string command = std::string("'") + TOVRA_E2E_INSTALLER + "' --data-dir " + testing::quoted(data_) +
                                " " + output + " 2>" + testing::quoted(temp_ / "err") + "; echo $? >" +
                                testing::quoted(temp_ / "code");
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(testing::read_file(temp_ / "code"), "1\n") << output;
    EXPECT_EQ(testing::read_file(temp_ / "err"), "Cannot write the result to standard output\n") << output;
  }
}

}  // namespace
}  // namespace tovra
