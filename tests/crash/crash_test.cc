// Every durable step of install, repair and uninstall, interrupted two ways. The real installer
// is killed with SIGKILL at each step; disk-full and permission failures are injected at each step
// in process, where the run fails with the problem the step raises (or, for a best-effort step,
// carries on). Afterwards status must describe the folder truthfully, the player's saves and
// settings are untouched, what was verified and kept is not lost, and repair (or a second
// uninstall) brings the folder to a verified state.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/digest.h"
#include "core/error.h"
#include "core/json.h"
#include "crash_fixture.h"
#include "platform/fault_injection.h"
#include "platform/storage.h"
#include "setup/workflows.h"
#include "state/data_root.h"
#include "state/records.h"
#include "support/run_process.h"
#include "support/temp_dir.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
using testing::ProcessResult;

// The player's saves and settings, which no interrupted run may touch.
constexpr const char* kSave = "userdata/slot-1/save.dat";
constexpr const char* kSaveBytes = "level 7, 3 lives";
constexpr const char* kSettings = "settings.json";
constexpr const char* kSettingsBytes = "{\"volume\":3}";

// An earlier data folder holding only the player's saves and settings.
void make_earlier_data_folder(const fs::path& data) {
  fs::remove_all(data);
  windows_security::ensure_private_directory((data / kSave).parent_path());
  testing::write_file(data / kSave, kSaveBytes);
  testing::write_file(data / kSettings, kSettingsBytes);
}

void expect_saves_untouched(const fs::path& data, const std::string& context) {
  EXPECT_EQ(testing::read_file(data / kSave), kSaveBytes) << context;
  EXPECT_EQ(testing::read_file(data / kSettings), kSettingsBytes) << context;
}

// What the disk says: the marker stands, and a finished installation record is present.
struct DiskTruth {
  bool marker = false;
  bool record = false;
  bool started() const { return marker || record; }
};

DiskTruth disk_truth(const fs::path& data) {
  std::error_code ignored;
  return {fs::exists(fs::symlink_status(data / ".tovra-setup-incomplete", ignored)),
          fs::exists(fs::symlink_status(data / "native/installation.json", ignored))};
}

// The uninstalled state: only the saves and settings remain. The lock files' removal is best
// effort, so a run whose removal of them failed may leave them (`tolerate_locks`).
void expect_only_saves_remain(const fs::path& data, const std::string& context, bool tolerate_locks = false) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(data)) {
    const std::string name = entry.path().filename().string();
    if (!(tolerate_locks && (name == ".native-bootstrap.lock" || name == ".tovra-setup.lock"))) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{kSettings, "userdata"})) << context;
  expect_saves_untouched(data, context);
}

// Makes each of the three managed folders fail its checks, so that a repair replaces them all.
void damage_installation(const fs::path& data) {
  fs::remove(data / "trust/root.json");
  testing::write_file(data / "native/bootstrap/bin/tovra-bootstrap.exe", "not the bootstrap");
  for (const auto& entry : fs::recursive_directory_iterator(data / "launcher"))
    if (entry.path().filename() == "readme.txt") testing::write_file(entry.path(), "changed notes");
}

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
    make_earlier_data_folder(data_);
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
    const DiskTruth truth = disk_truth(data_);
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
    const ProcessResult fixed = command(disk_truth(data_).started() ? "repair" : "install");
    ASSERT_EQ(fixed.exit_code, 0) << context << "\n" << fixed.err;
    const ProcessResult again = run({"repair", "--package", TOVRA_CRASH_PACKAGE, "--json"});
    ASSERT_EQ(again.exit_code, 0) << context << "\n" << again.err;
    EXPECT_EQ(Json::parse(again.out).at("replaced"), Json::array()) << context;
    const Json reported = status(context);
    EXPECT_EQ(reported.value("installed", false), true) << context;
    EXPECT_EQ(reported.value("incomplete", true), false) << context;
    EXPECT_FALSE(fs::exists(data_ / "native/staging")) << context;
    expect_saves_untouched(data_, context);
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
      expect_saves_untouched(data_, context);
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
        damage_installation(data_);
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
        if (disk_truth(data_).started()) {
          const ProcessResult second = command("uninstall");
          ASSERT_EQ(second.exit_code, 0) << context << "\n" << second.err;
        }
        expect_only_saves_remain(data_, context);
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
    const DiskTruth truth = disk_truth(data_);
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
  expect_only_saves_remain(data_, "second uninstall");
}

struct Outcome {
  std::string code;  // empty when the run succeeded
  std::string message;
};

// Every file below `folder` with its digest: what a verified folder holds.
std::map<std::string, std::string> contents(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file())
      files[entry.path().lexically_relative(folder).string()] = digest_hex(testing::read_file(entry.path()), "sha256");
  return files;
}

// The problem each kind of step raises for the error number given to it.
void expect_problem_of_step(int error, const Outcome& outcome, const std::string& context,
                            std::set<std::string>& codes) {
  if (outcome.code.empty()) return;
  codes.insert(outcome.code);
  static const std::set<std::string> durable_codes{"insufficient_space", "file_write", "file_remove", "file_sync"};
  EXPECT_TRUE(durable_codes.count(outcome.code)) << context << ": " << outcome.code << " " << outcome.message;
  if (outcome.code == "insufficient_space") {
    EXPECT_EQ(error, testing::kDiskFull) << context;
    EXPECT_EQ(outcome.message, "Local storage cannot save data; free space and try again") << context;
  }
  if (outcome.code == "file_write" && error == testing::kDiskFull) {
    // Only a move reports the raw error number; a file write names the full disk.
    EXPECT_EQ(outcome.message.rfind("Cannot move ", 0), 0u) << context << ": " << outcome.message;
  }
}

class FaultInjection : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fault_injection_available()) << "built without TOVRA_FAULT_INJECTION";
    testing::set_environment_variable("XDG_DATA_HOME", (temp_ / "xdg").string());
    data_ = temp_ / "data";
    seal_ = digest_hex(testing::read_file(fs::path(TOVRA_CRASH_PACKAGE) / "initial-package.json"), "sha256");
  }
  void TearDown() override { set_fault_plan({}); }

  InstallResult install(bool repair) {
    NativeInstallRequest request;
    request.package = TOVRA_CRASH_PACKAGE;
    request.data_dir = data_;
    request.repair = repair;
    return NativeInstaller::install(request, seal_, {});
  }

  void remove() {
    NativeUninstallRequest request;
    request.data_dir = data_;
    request.busy_timeout_ms = 0;
    uninstall(request, {});
  }

  static Outcome outcome_of(const std::function<void()>& action) {
    try {
      action();
    } catch (const Error& error) {
      return {error.code(), error.what()};
    }
    return {};
  }

  void expect_truthful_status(const std::string& context) {
    const DiskTruth truth = disk_truth(data_);
    StatusResult reported;
    const Outcome read = outcome_of([&] { reported = setup_status(data_); });
    EXPECT_EQ(read.code, "") << context << ": " << read.message;
    EXPECT_EQ(reported.incomplete, truth.marker) << context;
    EXPECT_EQ(reported.installed, truth.record && !truth.marker) << context;
  }

  // A clean repair (or install, when nothing was started) leaves a folder that a further repair
  // finds intact.
  void expect_recovery(const std::string& context) {
    const bool started = disk_truth(data_).started();
    const Outcome fixed = outcome_of([&] { install(started); });
    ASSERT_EQ(fixed.code, "") << context << ": " << fixed.message;
    InstallResult again;
    const Outcome verified = outcome_of([&] { again = install(true); });
    ASSERT_EQ(verified.code, "") << context << ": " << verified.message;
    EXPECT_TRUE(again.replaced.empty()) << context;
    EXPECT_FALSE(fs::exists(data_ / "native/staging")) << context;
    expect_saves_untouched(data_, context);
  }

  // Runs `action` with each error of `errors` injected at step 1, 2, ... until a run passes no
  // more steps than the planned one. Every failed run must raise the problem of its step, among
  // them each of `wanted`, and leave status truthful and the saves untouched; `check` examines the
  // rest. A full disk must be named as such at some step.
  void fail_at_every_step(const std::string& workflow, const std::vector<int>& errors, std::uint64_t min_points,
                          const std::vector<std::string>& wanted, const std::function<void()>& prepare,
                          const std::function<void()>& action,
                          const std::function<void(const std::string&, const Outcome&)>& check) {
    for (const int error : errors) {
      std::set<std::string> codes;
      std::uint64_t point = 1;
      for (; point < 1000 && !HasFailure(); ++point) {
        set_fault_plan({});
        prepare();
        if (HasFatalFailure()) return;
        set_fault_plan({FaultPlan::Action::fail, point, error});
        const Outcome outcome = outcome_of(action);
        const std::uint64_t passed = fault_points_passed();
        const std::string step = last_fault_point();
        set_fault_plan({});
        if (passed < point) {
          EXPECT_EQ(outcome.code, "") << "a run without an injected failure failed: " << outcome.message;
          break;
        }
        // The step that failed is the last one announced only when the run stopped there.
        const std::string context = workflow + ", error " + std::to_string(error) + " at point " +
                                    std::to_string(point) + " (" + (outcome.code.empty() ? "best effort" : step) + ")";
        expect_problem_of_step(error, outcome, context, codes);
        expect_truthful_status(context);
        expect_saves_untouched(data_, context);
        check(context, outcome);
      }
      std::cout << workflow << ", error " << error << ": " << point - 1 << " steps failed; problems:";
      for (const std::string& code : codes) std::cout << ' ' << code;
      std::cout << '\n';
      EXPECT_LT(point, 1000u) << workflow << " never finished";
      EXPECT_GE(point - 1, min_points) << workflow << ", error " << error;
      for (const std::string& code : wanted) EXPECT_EQ(codes.count(code), 1u) << code << ", error " << error;
      if (error == testing::kDiskFull) {
        EXPECT_EQ(codes.count("insufficient_space"), 1u) << workflow;
      }
    }
  }

  testing::TempDir temp_;
  fs::path data_;
  std::string seal_;
};

const std::vector<int> kBothErrors{testing::kDiskFull, testing::kAccessDenied};

TEST_F(FaultInjection, InstallOverSavesFailsCleanlyAtEachStep) {
  fail_at_every_step(
      "install", kBothErrors, 20, {"file_write", "file_remove"}, [&] { make_earlier_data_folder(data_); },
      [&] { install(false); },
      [&](const std::string& context, const Outcome& outcome) {
        if (!outcome.code.empty() && !disk_truth(data_).marker) {
          // A failed install before its commit leaves the earlier folder as it was.
          EXPECT_FALSE(fs::exists(data_ / "native/staging")) << context;
          EXPECT_FALSE(disk_truth(data_).record) << context;
        }
        expect_recovery(context);
      });
}

TEST_F(FaultInjection, FailedRepairRecordsTheProblemAndRepairsLater) {
  fail_at_every_step(
      "repair", kBothErrors, 20, {},
      [&] {
        make_earlier_data_folder(data_);
        install(false);
        damage_installation(data_);
      },
      [&] { install(true); },
      [&](const std::string& context, const Outcome& outcome) {
        const std::optional<SetupStatus> last = read_setup_status(data_root_layout(data_));
        // The failure record is best effort itself: a failing disk may refuse it too.
        if (!outcome.code.empty() && last && last->outcome == "failed") {
          EXPECT_EQ(last->action, "repair") << context;
          EXPECT_EQ(last->message, outcome.message) << context;
        }
        expect_recovery(context);
      });
}

// A repair that replaces only the trusted root never loses the verified bootstrap and launcher,
// whichever step fails.
TEST_F(FaultInjection, FailedRepairKeepsWhatWasIntact) {
  make_earlier_data_folder(data_);
  install(false);
  const auto bootstrap = contents(data_ / "native/bootstrap");
  const auto launcher = contents(data_ / "launcher");
  fail_at_every_step(
      "repair of the trusted root", {testing::kDiskFull}, 10, {}, [&] { fs::remove(data_ / "trust/root.json"); },
      [&] { install(true); },
      [&](const std::string& context, const Outcome&) {
        EXPECT_EQ(contents(data_ / "native/bootstrap"), bootstrap) << context;
        EXPECT_EQ(contents(data_ / "launcher"), launcher) << context;
        expect_recovery(context);
      });
}

TEST_F(FaultInjection, UninstallFailureLeavesAMarkerThatASecondUninstallClears) {
  fail_at_every_step(
      "uninstall", kBothErrors, 10, {"file_remove"},
      [&] {
        make_earlier_data_folder(data_);
        install(false);
      },
      [&] { remove(); },
      [&](const std::string& context, const Outcome& outcome) {
        // A failure after the marker leaves it standing, so the next run knows.
        if (!outcome.code.empty() && disk_truth(data_).started()) {
          const Outcome second = outcome_of([&] { remove(); });
          ASSERT_EQ(second.code, "") << context << ": " << second.message;
        }
        expect_only_saves_remain(data_, context, outcome.code.empty());
      });
}

}  // namespace
}  // namespace tovra
