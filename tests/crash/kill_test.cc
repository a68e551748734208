// The real installer, killed with SIGKILL at each durable step of install, repair and uninstall.
// After every kill, status must describe the folder truthfully, and repair (or a second
// uninstall) must bring it to a verified state with the player's saves and settings untouched.

#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "crash_fixture.h"
#include "support/run_process.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
using testing::ProcessResult;

class CrashConsistency : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = temp_ / "home";
    data_ = temp_ / "data";
  }

  ProcessResult run(std::vector<std::string> arguments, const std::string& plan = {}) {
    std::vector<std::string> environment{"HOME=" + home_.string(), "PATH=/usr/bin:/bin"};
    if (!plan.empty()) environment.push_back("TOVRA_FAULT_PLAN=" + plan);
    arguments.push_back("--data-dir");
    arguments.push_back(data_.string());
    return testing::run_process(TOVRA_CRASH_INSTALLER, arguments, environment);
  }

  ProcessResult command(const std::string& name, const std::string& plan = {}) {
    if (name == "uninstall") return run({"uninstall"}, plan);
    return run({name, "--package", TOVRA_CRASH_PACKAGE}, plan);
  }

  // A new user: an empty menu folder and a data folder with only saves and settings.
  void start_over() {
    fs::remove_all(home_);
    fs::create_directories(home_);
    testing::make_earlier_data_folder(data_);
  }

  void install_cleanly() {
    const ProcessResult installed = command("install");
    ASSERT_EQ(installed.exit_code, 0) << installed.err;
  }

  Json status(const std::string& context) {
    const ProcessResult result = run({"status", "--json"});
    EXPECT_EQ(result.exit_code, 0) << context << "\n" << result.err;
    return result.exit_code == 0 ? Json::parse(result.out) : Json::object();
  }

  void expect_truthful_status(const std::string& context) {
    const testing::DiskTruth truth = testing::disk_truth(data_);
    const Json reported = status(context);
    if (reported.empty()) return;
    EXPECT_EQ(reported.at("incomplete"), truth.marker) << context;
    EXPECT_EQ(reported.at("installed"), truth.record && !truth.marker) << context;
  }

  // Repair when the folder holds a started installation (an install that died before its commit
  // left none, and the next install proceeds). Then it is verified: a repair finds nothing to
  // replace, status reports a finished installation, no staging folder remains, and saves and
  // settings are as the player left them.
  void expect_recovery(const std::string& context) {
    const ProcessResult fixed = command(testing::disk_truth(data_).started() ? "repair" : "install");
    ASSERT_EQ(fixed.exit_code, 0) << context << "\n" << fixed.err;
    const ProcessResult again = run({"repair", "--package", TOVRA_CRASH_PACKAGE, "--json"});
    ASSERT_EQ(again.exit_code, 0) << context << "\n" << again.err;
    EXPECT_EQ(Json::parse(again.out).at("replaced"), Json::array()) << context;
    const Json reported = status(context);
    EXPECT_EQ(reported.value("installed", false), true) << context;
    EXPECT_EQ(reported.value("incomplete", true), false) << context;
    EXPECT_FALSE(fs::exists(data_ / "native/staging")) << context;
    testing::expect_saves_untouched(data_, context);
  }

  // Kills `name` at step 1, 2, ... until a run finishes. After each kill status must be truthful,
  // the saves untouched, and `check` pass; at least `min_points` steps, among them each of `wanted`
  // (or the hook is not wired in), must have been interrupted.
  void kill_at_every_step(const std::string& name, int min_points, const std::vector<std::string>& wanted,
                          const std::function<void()>& prepare, const std::function<void(const std::string&)>& check) {
    std::set<std::string> steps;
    int point = 1;
    for (; point < 1000 && !HasFailure(); ++point) {
      prepare();
      if (HasFatalFailure()) return;
      const ProcessResult killed = command(name, "kill:" + std::to_string(point));
      if (killed.exit_code == 0) break;
      const std::string tag = "fault point " + std::to_string(point) + ": ";
      const std::size_t at = killed.err.find(tag);
      EXPECT_EQ(killed.exit_code, -1) << name << " failed instead of being killed:\n" << killed.err;
      ASSERT_NE(at, std::string::npos) << name << " did not reach kill point " << point << ":\n" << killed.err;
      const std::string step = killed.err.substr(at + tag.size(), killed.err.find('\n', at) - at - tag.size());
      steps.insert(step);
      const std::string context = name + " killed at point " + std::to_string(point) + " (" + step + ")";
      expect_truthful_status(context);
      testing::expect_saves_untouched(data_, context);
      check(context);
    }
    std::cout << name << ": " << point - 1 << " kill points\n";
    EXPECT_LT(point, 1000) << name << " never finished";
    EXPECT_GE(point - 1, min_points);
    for (const std::string& step : wanted) EXPECT_TRUE(steps.count(step)) << "never interrupted: " << step;
  }

  testing::TempDir temp_;
  fs::path home_;
  fs::path data_;
};

TEST_F(CrashConsistency, InstallKilledAtEachDurableStep) {
  kill_at_every_step("install", 20, {"export_file", "export_file commit", "move_entry", "remove_tree", "remove_entry"},
                     [&] { start_over(); }, [&](const std::string& context) { expect_recovery(context); });
}

TEST_F(CrashConsistency, RepairKilledAtEachDurableStep) {
  kill_at_every_step(
      "repair", 20, {"export_file", "export_file commit", "move_entry", "remove_tree", "remove_tree directory"},
      [&] {
        start_over();
        install_cleanly();
        testing::damage_installation(data_);
      },
      [&](const std::string& context) { expect_recovery(context); });
}

TEST_F(CrashConsistency, UninstallKilledAtEachDurableStep) {
  kill_at_every_step(
      "uninstall", 10, {"export_file", "remove_entry", "remove_or_quarantine", "remove_path_or_quarantine directory"},
      [&] {
        start_over();
        install_cleanly();
      },
      [&](const std::string& context) {
        // An uninstall that died with its marker standing is finished by a second one.
        if (testing::disk_truth(data_).started()) {
          const ProcessResult second = command("uninstall");
          ASSERT_EQ(second.exit_code, 0) << context << "\n" << second.err;
        }
        testing::expect_only_saves_remain(data_, context);
        const Json reported = status(context);
        EXPECT_EQ(reported.value("installed", true), false) << context;
        EXPECT_EQ(reported.value("incomplete", true), false) << context;
      });
}

// The marker an interrupted uninstall leaves also lets repair bring the installation back, even
// once the installation record is gone.
TEST_F(CrashConsistency, RepairRestoresAnInterruptedUninstall) {
  for (int point = 1;; ++point) {
    ASSERT_LT(point, 100) << "no kill point leaves the marker without the record";
    start_over();
    install_cleanly();
    const ProcessResult killed = command("uninstall", "kill:" + std::to_string(point));
    ASSERT_EQ(killed.exit_code, -1) << killed.err;
    const testing::DiskTruth truth = testing::disk_truth(data_);
    if (!truth.marker || truth.record) continue;
    expect_truthful_status("uninstall killed at point " + std::to_string(point));
    expect_recovery("repair after uninstall killed at point " + std::to_string(point));
    return;
  }
}

// An uninstall that died after removing "native" but before removing its marker: the record is
// gone with its folder, and a second uninstall must still finish rather than fail to remove it.
TEST_F(CrashConsistency, SecondUninstallFinishesWhenNativeIsAlreadyGone) {
  start_over();
  install_cleanly();
  fs::remove_all(data_ / "native");
  testing::write_file(data_ / ".tovra-setup-incomplete", R"({"kind":"tovra-setup-incomplete","schema_version":1})");
  expect_truthful_status("native removed, marker standing");
  const ProcessResult second = command("uninstall");
  ASSERT_EQ(second.exit_code, 0) << second.err;
  testing::expect_only_saves_remain(data_, "second uninstall");
}

}  // namespace
}  // namespace tovra
