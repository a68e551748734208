// The real tovra-install, sealed to a package built with the package builder, run as a user would:
// a private HOME, temporary data folders, and the printed sentence, document and exit code checked.

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/json.h"
#include "platform/file_lock.h"
#include "support/run_process.h"
#include "support/temp_dir.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
using testing::ProcessResult;

class Installer : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = temp_ / "home";
    fs::create_directories(home_);
    data_ = temp_ / "data";
    menu_ = home_ / ".local/share/applications";
  }

  ProcessResult run(std::vector<std::string> arguments, const std::optional<testing::SignalWhen>& signal = {}) {
    return testing::run_process(TOVRA_E2E_INSTALLER, arguments, {"HOME=" + home_.string(), "PATH=/usr/bin:/bin"},
                                signal);
  }
  ProcessResult install(const std::string& command = "install") {
    return run({command, "--package", TOVRA_E2E_PACKAGE, "--data-dir", data_.string()});
  }
  ProcessResult on_data(std::vector<std::string> arguments) {
    arguments.push_back("--data-dir");
    arguments.push_back(data_.string());
    return run(arguments);
  }
  Json json_of(std::vector<std::string> arguments) {
    arguments.push_back("--json");
    const ProcessResult result = on_data(arguments);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    return Json::parse(result.out);
  }

  // The problem message is the last line on standard error, after the phase lines.
  static std::string last_line(const std::string& text) {
    const std::size_t end = text.size() > 0 && text.back() == '\n' ? text.size() - 1 : text.size();
    const std::size_t start = text.rfind('\n', end == 0 ? 0 : end - 1);
    return text.substr(start == std::string::npos ? 0 : start + 1);
  }

  // Names nobody asked for: transaction files, staging leftovers.
  std::vector<std::string> leftovers() {
    std::vector<std::string> found;
    if (!fs::exists(data_)) return found;
    for (const auto& entry : fs::recursive_directory_iterator(data_)) {
      const std::string name = entry.path().filename().string();
      if (name.ends_with(".tmp") || entry.path() == data_ / "native/staging") found.push_back(entry.path());
    }
    return found;
  }

  testing::TempDir temp_;
  fs::path home_;
  fs::path data_;
  fs::path menu_;
};

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

  ProcessResult launcher_shortcut = on_data({"shortcut", "create"});
  EXPECT_EQ(launcher_shortcut.exit_code, 0) << launcher_shortcut.err;
  EXPECT_EQ(launcher_shortcut.out, "Created " + (menu_ / "Tovra.desktop").string() + ".\n");
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
  EXPECT_TRUE(fs::is_regular_file(data_ / "native/bootstrap/share/bootstrap.txt"));
  EXPECT_EQ(leftovers(), std::vector<std::string>{});

  // The user edits one shortcut: it is theirs now, and stays.
  testing::write_file(menu_ / "space-race.desktop", entry + "Comment=mine\n");
  fs::create_directories(data_ / "userdata");
  testing::write_file(data_ / "userdata/save.dat", "level 9");
  testing::write_file(data_ / "settings.json", "{}");
  ProcessResult removed = on_data({"uninstall"});
  EXPECT_EQ(removed.exit_code, 0) << removed.err;
  EXPECT_EQ(removed.out, "Removed Tovra from " + data_.string() +
                             ". Saves and settings were kept. Changed shortcuts were left in place.\n");
  EXPECT_TRUE(fs::exists(menu_ / "space-race.desktop"));
  EXPECT_FALSE(fs::exists(menu_ / "Tovra.desktop"));
  EXPECT_EQ(testing::read_file(data_ / "userdata/save.dat"), "level 9");
  EXPECT_TRUE(fs::exists(data_ / "settings.json"));
  EXPECT_FALSE(fs::exists(data_ / "native"));
  EXPECT_EQ(on_data({"status"}).out, "Tovra is not installed in " + data_.string() + ".\n");
}

TEST_F(Installer, ASecondInstallOrHeldLocksStopTheRun) {
  ASSERT_EQ(install().exit_code, 0);
  ProcessResult again = install();
  EXPECT_EQ(again.exit_code, 1);
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(last_line(again.err), "Tovra is already installed in " + data_.string() + "; use repair\n");

  ProcessResult json_problem = run({"--package", TOVRA_E2E_PACKAGE, "--data-dir", data_.string(), "--json"});
  EXPECT_EQ(json_problem.exit_code, 1);
  EXPECT_EQ(Json::parse(json_problem.out)["problem"]["code"], "already_installed");

  // Locks held by others stop the run.
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

TEST_F(Installer, InterruptionIsCancellationAndAnUnfinishedFolderAsksForRepair) {
  ProcessResult interrupted =
      run({"install", "--package", TOVRA_E2E_PACKAGE, "--data-dir", data_.string()}, testing::SignalWhen{"Installing", SIGINT});
  EXPECT_EQ(interrupted.exit_code, 4) << interrupted.err;
  EXPECT_EQ(interrupted.out, "");
  EXPECT_FALSE(fs::exists(data_));

  ASSERT_EQ(install().exit_code, 0);
  fs::remove(data_ / "native/bootstrap/share/bootstrap.txt");
  ProcessResult repair = run({"repair", "--package", TOVRA_E2E_PACKAGE, "--data-dir", data_.string()},
                             testing::SignalWhen{"Installing", SIGINT});
  EXPECT_EQ(repair.exit_code, 4) << repair.err;
  EXPECT_EQ(json_of({"status"})["last_operation"]["outcome"], "failed");

  testing::write_file(data_ / ".tovra-setup-incomplete", R"({"kind":"tovra-setup-incomplete","schema_version":1})");
  EXPECT_EQ(on_data({"status"}).out, "Tovra setup did not finish in " + data_.string() + "; run repair.\n");
  EXPECT_EQ(install("repair").exit_code, 0);
  EXPECT_FALSE(fs::exists(data_ / ".tovra-setup-incomplete"));
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

}  // namespace
}  // namespace tovra
