// Install, repair, status and uninstall against real packages made by the package builder.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "core/error.h"
#include "package/package.h"
#include "setup/workflow_steps.h"
#include "setup/workflows.h"
#include "state/data_root.h"
#include "state/records.h"
#include "support/run_process.h"
#include "support/temp_dir.h"
#include "support/wine.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

// A folder the user made for the installation: private, as the installer demands.
void make_private_folder(const fs::path& folder) {
  fs::create_directories(folder);
  fs::permissions(folder, fs::perms::owner_all);
}

// Every test gets its own menu folder, package and data folder.
class Workflows : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::set_environment_variable("XDG_DATA_HOME", (temp_ / "xdg").string());
    package_ = temp_ / "package";
    data_ = temp_ / "data";
    seal_ = builder::build_package(options_, package_);
  }

  InstallResult install(bool repair = false, const NativeSetupCallbacks& callbacks = {}) {
    NativeInstallRequest request;
    request.package = package_;
    request.data_dir = data_;
    request.repair = repair;
    return NativeInstaller::install(request, seal_, callbacks);
  }

  UninstallResult remove(bool remove_data) {
    NativeUninstallRequest request;
    request.data_dir = data_;
    request.remove_data = remove_data;
    request.busy_timeout_ms = 200;
    return uninstall(request, {});
  }

  template <typename F>
  std::string code_of(F&& action) {
    try {
      action();
    } catch (const Error& error) {
      return error.code() + ": " + error.what();
    }
    return "no problem";
  }

  TempDir temp_;
  builder::PackageOptions options_;
  fs::path package_;
  fs::path data_;
  std::string seal_;
};

TEST_F(Workflows, InstallStatusRepairAndUninstallTellOneStory) {
  const InstallResult installed = install();
  EXPECT_EQ(installed.data_root, data_);
  EXPECT_FALSE(installed.repaired);
  EXPECT_EQ(installed.replaced, (std::vector<std::string>{"bootstrap", "launcher", "trust"}));
  EXPECT_EQ(installed.bootstrap, data_ / "native/bootstrap/bin/tovra-bootstrap.exe");
  EXPECT_TRUE(fs::is_regular_file(installed.bootstrap));
  EXPECT_TRUE(fs::is_regular_file(data_ / "trust/root.json"));
  EXPECT_TRUE(fs::is_regular_file(data_ / "repository.json"));
  EXPECT_FALSE(fs::exists(data_ / "native/staging"));
  EXPECT_FALSE(fs::exists(data_ / ".tovra-setup-incomplete"));
  if (testing::under_wine()) {
    EXPECT_EQ(installed.shortcut_problem, testing::kWineShortcutProblem);
  } else {
    EXPECT_EQ(installed.shortcut_problem, "");
    ASSERT_EQ(installed.shortcuts.size(), 1u);
    EXPECT_TRUE(fs::is_regular_file(installed.shortcuts[0]));
  }

  StatusResult status = setup_status(data_);
  EXPECT_TRUE(status.installed);
  EXPECT_FALSE(status.incomplete);
  EXPECT_EQ(status.bootstrap_build, "bootstrap-1");
  EXPECT_EQ(status.launcher_build, "launcher-1");  // the candidate, as nothing has started yet
  EXPECT_FALSE(status.bootstrap_update_pending);
  EXPECT_EQ(status.shortcuts, installed.shortcuts);
  ASSERT_TRUE(status.last_operation.has_value());
  EXPECT_EQ(status.last_operation->action, "install");
  EXPECT_EQ(status.last_operation->outcome, "succeeded");

  const InstallResult intact = install(true);
  EXPECT_TRUE(intact.repaired);
  EXPECT_TRUE(intact.replaced.empty());

  fs::remove(data_ / "native/bootstrap/share/bootstrap.txt");
  EXPECT_EQ(install(true).replaced, std::vector<std::string>{"bootstrap"});
  EXPECT_TRUE(fs::is_regular_file(data_ / "native/bootstrap/share/bootstrap.txt"));

  fs::remove(data_ / "trust/root.json");
  EXPECT_EQ(install(true).replaced, std::vector<std::string>{"trust"});

  fs::remove_all(data_ / "launcher/versions");
  EXPECT_EQ(install(true).replaced, std::vector<std::string>{"launcher"});

  fs::create_directory(data_ / "userdata");
  testing::write_file(data_ / "userdata/save.dat", "progress");
  testing::write_file(data_ / "settings.json", "{}");
  const UninstallResult removed = remove(false);
  EXPECT_FALSE(removed.data_removed);
  EXPECT_EQ(removed.kept.size(), 2u);
  EXPECT_TRUE(removed.deferred.empty());
  EXPECT_EQ(testing::read_file(data_ / "userdata/save.dat"), "progress");
  EXPECT_FALSE(fs::exists(data_ / "native"));
  EXPECT_FALSE(fs::exists(data_ / "launcher"));
  for (const fs::path& shortcut : installed.shortcuts) EXPECT_FALSE(fs::exists(shortcut));
  EXPECT_FALSE(setup_status(data_).installed);
}

TEST_F(Workflows, UninstallWithRemoveDataLeavesNoFolder) {
  install();
  fs::create_directory(data_ / "userdata");
  const UninstallResult removed = remove(true);
  EXPECT_TRUE(removed.kept.empty());
  EXPECT_TRUE(removed.data_removed);
  EXPECT_FALSE(fs::exists(data_));
}

TEST_F(Workflows, RefusesWhatItMustNotTouch) {
  install();
  EXPECT_EQ(code_of([&] { install(); }),
            "already_installed: Tovra is already installed in " + data_.string() + "; use repair");

  data_ = temp_ / "foreign";
  make_private_folder(data_);
  testing::write_file(data_ / "notes.txt", "mine");
  EXPECT_EQ(code_of([&] { install(); }), "unsafe_path: Choose an empty folder or an earlier Tovra data folder");
  EXPECT_EQ(testing::read_file(data_ / "notes.txt"), "mine");
  EXPECT_FALSE(fs::exists(data_ / "native"));

  data_ = package_ / "inside";
  EXPECT_EQ(code_of([&] { install(); }), "unsafe_path: The package and data folders overlap");
  EXPECT_FALSE(fs::exists(data_));

  data_ = temp_ / "missing";
  EXPECT_EQ(code_of([&] { install(true); }), "not_installed: Tovra is not installed in " + data_.string());
  EXPECT_EQ(code_of([&] { remove(false); }), "not_installed: Tovra is not installed in " + data_.string());
}

TEST_F(Workflows, InstallAcceptsLockOnlyAndEarlierDataFolders) {
  make_private_folder(data_);
  testing::write_file(data_ / ".tovra-setup.lock", "");
  fs::permissions(data_ / ".tovra-setup.lock", fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_NO_THROW(install());
  remove(true);

  make_private_folder(data_);
  fs::create_directories(data_ / "userdata");
  testing::write_file(data_ / "userdata/save.dat", "kept");
  EXPECT_NO_THROW(install());
  EXPECT_EQ(testing::read_file(data_ / "userdata/save.dat"), "kept");
}

TEST_F(Workflows, CancelledInstallLeavesNoFolderAndCancelledRepairIsRecorded) {
  NativeSetupCallbacks cancel_while_staging;
  bool staging = false;
  cancel_while_staging.progress = [&](std::string_view phase, std::uint64_t, std::uint64_t) {
    if (phase == "installing") staging = true;
  };
  cancel_while_staging.cancelled = [&] { return staging; };
  EXPECT_EQ(code_of([&] { install(false, cancel_while_staging); }).substr(0, 10), "cancelled:");
  EXPECT_FALSE(fs::exists(data_));

  install();
  staging = false;
  fs::remove(data_ / "native/bootstrap/share/bootstrap.txt");
  EXPECT_EQ(code_of([&] { install(true, cancel_while_staging); }).substr(0, 10), "cancelled:");
  const auto status = read_setup_status(data_root_layout(data_));
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->action, "repair");
  EXPECT_EQ(status->outcome, "failed");
  EXPECT_FALSE(fs::exists(data_ / ".tovra-setup-incomplete"));
}

TEST_F(Workflows, StatusOfMissingAndUnfinishedFolders) {
  StatusResult missing = setup_status(data_);
  EXPECT_FALSE(missing.installed);
  EXPECT_FALSE(missing.incomplete);
  EXPECT_FALSE(missing.last_operation.has_value());

  install();
  testing::write_file(data_ / "native/bootstrap-update.json", "{}");
  EXPECT_TRUE(setup_status(data_).bootstrap_update_pending);

  testing::write_file(data_ / ".tovra-setup-incomplete", "{}");
  StatusResult unfinished = setup_status(data_);
  EXPECT_TRUE(unfinished.incomplete);
  EXPECT_FALSE(unfinished.installed);
  EXPECT_FALSE(unfinished.last_operation.has_value());
  EXPECT_EQ(unfinished.bootstrap_build, "");
  // An unfinished folder may be installed over again, which completes it.
  EXPECT_NO_THROW(install());
  EXPECT_TRUE(setup_status(data_).installed);
}

TEST(WorkflowSteps, IsWithinIsLexical) {
  EXPECT_TRUE(is_within("/a/b", "/a/b"));
  EXPECT_TRUE(is_within("/a/b/c", "/a/b"));
  EXPECT_FALSE(is_within("/a/bc", "/a/b"));
  EXPECT_FALSE(is_within("/a", "/a/b"));
}

}  // namespace
}  // namespace tovra
