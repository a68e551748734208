// Install to uninstall with the menu's desktop entries, and interruption by a signal.

#include <signal.h>

#include "installer_fixture.h"

namespace tovra {
namespace {

TEST_F(Installer, InstallStatusShortcutsRepairAndUninstall) {
  ProcessResult installed = install();
  ASSERT_EQ(installed.exit_code, 0) << installed.err;
  EXPECT_EQ(installed.out, "Installed Tovra in " + data_.string() + ".\n");
  EXPECT_NE(installed.err.find("Verifying\u2026\n"), std::string::npos);
  EXPECT_NE(installed.err.find("Installing\u2026\n"), std::string::npos);
  EXPECT_TRUE(fs::is_regular_file(menu_ / "Tovra.desktop"));
  EXPECT_EQ(leftovers(), std::vector<std::string>{});

  ProcessResult status = on_data({"status"});
  EXPECT_EQ(status.exit_code, 0);
  EXPECT_EQ(status.out,
            "Tovra is installed in " + data_.string() + " (bootstrap bootstrap-1, launcher launcher-1).\n");
  EXPECT_EQ(json_of({"status"})["shortcuts"], Json::array({(menu_ / "Tovra.desktop").string()}));

  const Json game = json_of({"shortcut", "create", "--game", "space-race"});
  EXPECT_EQ(game, (Json{{"created", (menu_ / "space-race.desktop").string()}, {"schema_version", 1}}));
  const std::string entry = testing::read_file(menu_ / "space-race.desktop");
  EXPECT_NE(entry.find(" --gui --game \"space-race\"\n"), std::string::npos) << entry;

  ProcessResult intact = install("repair");
  EXPECT_EQ(intact.exit_code, 0) << intact.err;
  EXPECT_EQ(intact.out, "Repaired Tovra in " + data_.string() + ". Everything was already intact.\n");

  fs::remove(data_ / "native/bootstrap/share/bootstrap.txt");
  ProcessResult bootstrap = run({"repair", "--package", TOVRA_E2E_PACKAGE, "--data-dir", data_.string(), "--json"});
  EXPECT_EQ(Json::parse(bootstrap.out)["replaced"], Json::array({"bootstrap"}));
  EXPECT_EQ(leftovers(), std::vector<std::string>{});

  // The user edits one shortcut: it is theirs now, and stays.
  testing::write_file(menu_ / "space-race.desktop", entry + "Comment=mine\n");
  fs::create_directories(data_ / "userdata");
  testing::write_file(data_ / "userdata/save.dat", "level 9");
  ProcessResult removed = on_data({"uninstall"});
  EXPECT_EQ(removed.exit_code, 0) << removed.err;
  EXPECT_EQ(removed.out, "Removed Tovra from " + data_.string() +
                             ". Saves and settings were kept. Changed shortcuts were left in place.\n");
  EXPECT_TRUE(fs::exists(menu_ / "space-race.desktop"));
  EXPECT_FALSE(fs::exists(menu_ / "Tovra.desktop"));
  EXPECT_EQ(testing::read_file(data_ / "userdata/save.dat"), "level 9");
  EXPECT_FALSE(fs::exists(data_ / "native"));
  EXPECT_EQ(on_data({"status"}).out, "Tovra is not installed in " + data_.string() + ".\n");
}

TEST_F(Installer, InterruptionCancelsAndAnUnfinishedFolderIsRepairedThenRemoved) {
  ProcessResult interrupted =
      run({"install", "--package", TOVRA_E2E_PACKAGE, "--data-dir", data_.string()}, testing::SignalWhen{"Installing", SIGINT});
  EXPECT_EQ(interrupted.exit_code, 4) << interrupted.err;
  EXPECT_EQ(interrupted.out, "");
  EXPECT_FALSE(fs::exists(data_));

  ASSERT_EQ(install().exit_code, 0);

  testing::write_file(data_ / ".tovra-setup-incomplete", R"({"kind":"tovra-setup-incomplete","schema_version":1})");
  EXPECT_EQ(on_data({"status"}).out, "Tovra setup did not finish in " + data_.string() + "; run repair.\n");
  EXPECT_EQ(install("repair").exit_code, 0);
  EXPECT_FALSE(fs::exists(data_ / ".tovra-setup-incomplete"));
  EXPECT_EQ(leftovers(), std::vector<std::string>{});

  EXPECT_EQ(on_data({"shortcut", "remove"}).out, "Removed 1 shortcut(s).\n");
  EXPECT_FALSE(fs::exists(menu_ / "Tovra.desktop"));
  EXPECT_TRUE(json_of({"uninstall", "--remove-data"})["data_removed"]);
  EXPECT_FALSE(fs::exists(data_));
}

}  // namespace
}  // namespace tovra
