// Every durable step of install, repair and uninstall, interrupted two ways. The real installer
// is killed with SIGKILL at each step; disk-full and permission failures are injected at each step
// in process, where the run fails with the problem the step raises (or, for a best-effort step,
// carries on). Afterwards status must describe the folder truthfully, the player's saves and
// settings are untouched, what was verified and kept is not lost, and repair (or a second
// uninstall) brings the folder to a verified state.

#include <gtest/gtest.h>

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
void expect_only_saves_remain(const fs::path& data, const std::string& context, bool tolerate_locks) {
  std::vector<std::string> names = testing::names_in(data);
  const auto lock = [](const std::string& name) {
    return name == ".native-bootstrap.lock" || name == ".tovra-setup.lock";
  };
  if (tolerate_locks) std::erase_if(names, lock);
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

// How a run ended: the problem's code (empty when it succeeded) and message, and what a repair
// replaced.
struct Outcome {
  std::string code;
  std::string message;
  std::vector<std::string> replaced;
};

struct Reported {
  bool installed = false;
  bool incomplete = false;
};

// What must hold after a run was interrupted, whether the real installer was killed or a step
// failed in process.
class Interrupted : public ::testing::Test {
 protected:
  // Runs "install", "repair" or "uninstall" to its end.
  virtual Outcome run_workflow(const std::string& workflow) = 0;
  virtual Reported status(const std::string& context) = 0;

  // A new player: a data folder holding only the saves and settings.
  virtual void start_over() {
    fs::remove_all(data_);
    windows_security::ensure_private_directory((data_ / kSave).parent_path());
    testing::write_file(data_ / kSave, kSaveBytes);
    testing::write_file(data_ / kSettings, kSettingsBytes);
  }

  void install_over_saves() {
    start_over();
    const Outcome installed = run_workflow("install");
    ASSERT_EQ(installed.code, "") << installed.message;
  }

  void expect_truthful_status(const std::string& context) {
    const DiskTruth truth = disk_truth(data_);
    const Reported reported = status(context);
    EXPECT_EQ(reported.incomplete, truth.marker) << context;
    EXPECT_EQ(reported.installed, truth.record && !truth.marker) << context;
  }

  // Repair when the folder holds a started installation (an install that died before its commit
  // left none, and the next install proceeds). Then it is verified: a repair finds nothing to
  // replace, status reports a finished installation, no staging folder remains, and saves and
  // settings are as the player left them.
  void expect_recovery(const std::string& context) {
    const Outcome fixed = run_workflow(disk_truth(data_).started() ? "repair" : "install");
    ASSERT_EQ(fixed.code, "") << context << ": " << fixed.message;
    const Outcome again = run_workflow("repair");
    ASSERT_EQ(again.code, "") << context << ": " << again.message;
    EXPECT_TRUE(again.replaced.empty()) << context;
    const Reported reported = status(context);
    EXPECT_TRUE(reported.installed && !reported.incomplete) << context;
    EXPECT_FALSE(fs::exists(data_ / "native/staging")) << context;
    expect_saves_untouched(data_, context);
  }

  // An uninstall that `stopped` with its marker standing is finished by a second one; one that ran
  // to its end may have left only the lock files. Then status reports nothing installed.
  void expect_uninstall_finished(const std::string& context, bool stopped) {
    if (stopped && disk_truth(data_).started()) {
      const Outcome second = run_workflow("uninstall");
      ASSERT_EQ(second.code, "") << context << ": " << second.message;
    }
    expect_only_saves_remain(data_, context, !stopped);
    const Reported reported = status(context);
    EXPECT_FALSE(reported.installed || reported.incomplete) << context;
  }

  testing::TempDir temp_;
  fs::path data_ = temp_ / "data";
};

class CrashConsistency : public Interrupted {
 protected:
  ProcessResult run(std::vector<std::string> arguments, const std::string& plan = {}) {
    std::vector<std::string> environment{"HOME=" + home_.string(), "PATH=/usr/bin:/bin"};
    if (!plan.empty()) environment.push_back("TOVRA_FAULT_PLAN=" + plan);
    arguments.push_back("--data-dir");
    arguments.push_back(data_.string());
    return testing::run_process(TOVRA_CRASH_INSTALLER, arguments, environment);
  }

  // `workflow` in JSON mode, on the package unless it is an uninstall.
  ProcessResult command(const std::string& workflow, const std::string& plan = {}) {
    std::vector<std::string> arguments{workflow, "--json"};
    if (workflow != "uninstall") arguments.insert(arguments.end(), {"--package", TOVRA_CRASH_PACKAGE});
    return run(arguments, plan);
  }

  Outcome run_workflow(const std::string& workflow) override {
    const ProcessResult result = command(workflow);
    if (result.exit_code != 0) return {"exit code " + std::to_string(result.exit_code), result.err, {}};
    return {"", "", Json::parse(result.out).value("replaced", std::vector<std::string>{})};
  }

  Reported status(const std::string& context) override {
    const ProcessResult result = run({"status", "--json"});
    EXPECT_EQ(result.exit_code, 0) << context << "\n" << result.err;
    if (result.exit_code != 0) return {};
    const Json reported = Json::parse(result.out);
    return {reported.at("installed").get<bool>(), reported.at("incomplete").get<bool>()};
  }

  // Also an empty menu folder.
  void start_over() override {
    fs::remove_all(home_);
    fs::create_directories(home_);
    Interrupted::start_over();
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

  fs::path home_ = temp_ / "home";
};

TEST_F(CrashConsistency, InstallKilledAtEachDurableStep) {
  kill_at_every_step("install", 20, {"export_file", "export_file commit", "move_entry", "remove_tree", "remove_entry"},
                     [&] { start_over(); }, [&](const std::string& context) { expect_recovery(context); });
}

TEST_F(CrashConsistency, RepairKilledAtEachDurableStep) {
  kill_at_every_step(
      "repair", 20, {"export_file", "export_file commit", "move_entry", "remove_tree", "remove_tree directory"},
      [&] {
        install_over_saves();
        damage_installation(data_);
      },
      [&](const std::string& context) { expect_recovery(context); });
}

TEST_F(CrashConsistency, UninstallKilledAtEachDurableStep) {
  kill_at_every_step(
      "uninstall", 10, {"export_file", "remove_entry", "remove_or_quarantine", "remove_path_or_quarantine directory"},
      [&] { install_over_saves(); }, [&](const std::string& context) { expect_uninstall_finished(context, true); });
}

// The marker an interrupted uninstall leaves also lets repair bring the installation back, even
// once the installation record is gone.
TEST_F(CrashConsistency, RepairRestoresAnInterruptedUninstall) {
  for (int point = 1;; ++point) {
    ASSERT_LT(point, 100) << "no kill point leaves the marker without the record";
    install_over_saves();
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
  install_over_saves();
  fs::remove_all(data_ / "native");
  testing::write_file(data_ / ".tovra-setup-incomplete", R"({"kind":"tovra-setup-incomplete","schema_version":1})");
  expect_truthful_status("native removed, marker standing");
  expect_uninstall_finished("second uninstall", true);
}

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

class FaultInjection : public Interrupted {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fault_injection_available()) << "built without TOVRA_FAULT_INJECTION";
    testing::set_environment_variable("XDG_DATA_HOME", (temp_ / "xdg").string());
    seal_ = digest_hex(testing::read_file(fs::path(TOVRA_CRASH_PACKAGE) / "initial-package.json"), "sha256");
  }
  void TearDown() override { set_fault_plan({}); }

  Outcome run_workflow(const std::string& workflow) override {
    try {
      if (workflow == "uninstall") {
        uninstall({.data_dir = data_, .busy_timeout_ms = 0}, {});
        return {};
      }
      const NativeInstallRequest request{
          .package = TOVRA_CRASH_PACKAGE, .data_dir = data_, .repair = workflow == "repair"};
      return {"", "", NativeInstaller::install(request, seal_, {}).replaced};
    } catch (const Error& error) {
      return {error.code(), error.what(), {}};
    }
  }

  Reported status(const std::string& context) override {
    try {
      const StatusResult reported = setup_status(data_);
      return {reported.installed, reported.incomplete};
    } catch (const Error& error) {
      ADD_FAILURE() << context << ": " << error.what();
      return {};
    }
  }

  // Runs `workflow` with each error of `errors` injected at step 1, 2, ... until a run passes no
  // more steps than the planned one. Every failed run must raise the problem of its step, among
  // them each of `wanted`, and leave status truthful and the saves untouched; `check` examines the
  // rest. A full disk must be named as such at some step.
  void fail_at_every_step(const std::string& workflow, const std::vector<int>& errors, std::uint64_t min_points,
                          const std::vector<std::string>& wanted, const std::function<void()>& prepare,
                          const std::function<void(const std::string&, const Outcome&)>& check) {
    for (const int error : errors) {
      std::set<std::string> codes;
      std::uint64_t point = 1;
      for (; point < 1000 && !HasFailure(); ++point) {
        set_fault_plan({});
        prepare();
        if (HasFatalFailure()) return;
        set_fault_plan({FaultPlan::Action::fail, point, error});
        const Outcome outcome = run_workflow(workflow);
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

  std::string seal_;
};

const std::vector<int> kBothErrors{testing::kDiskFull, testing::kAccessDenied};

TEST_F(FaultInjection, InstallOverSavesFailsCleanlyAtEachStep) {
  fail_at_every_step(
      "install", kBothErrors, 20, {"file_write", "file_remove"}, [&] { start_over(); },
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
        install_over_saves();
        damage_installation(data_);
      },
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
  install_over_saves();
  const auto bootstrap = contents(data_ / "native/bootstrap");
  const auto launcher = contents(data_ / "launcher");
  fail_at_every_step(
      "repair", {testing::kDiskFull}, 10, {}, [&] { fs::remove(data_ / "trust/root.json"); },
      [&](const std::string& context, const Outcome&) {
        EXPECT_EQ(contents(data_ / "native/bootstrap"), bootstrap) << context;
        EXPECT_EQ(contents(data_ / "launcher"), launcher) << context;
        expect_recovery(context);
      });
}

TEST_F(FaultInjection, UninstallFailureLeavesAMarkerThatASecondUninstallClears) {
  fail_at_every_step(
      "uninstall", kBothErrors, 10, {"file_remove"}, [&] { install_over_saves(); },
      [&](const std::string& context, const Outcome& outcome) {
        // A failure after the marker leaves it standing, so the next run knows.
        expect_uninstall_finished(context, !outcome.code.empty());
      });
}

}  // namespace
}  // namespace tovra
