// Install, repair, status and uninstall against real packages made by the package builder.

#include <vector>

#include "core/test_util.h"
#include "platform/durable.h"
#include "setup/workflow_steps.h"
#include "support/privacy.h"
#include "support/wine.h"
#include "workflows_fixture.h"

namespace tovra {
namespace {

TEST_F(Workflows, InstallStatusRepairAndUninstallTellOneStory) {
  const InstallResult installed = install();
  EXPECT_EQ(installed.data_root, data_);
  EXPECT_FALSE(installed.repaired);
  EXPECT_EQ(installed.replaced, (std::vector<std::string>{"bootstrap", "launcher", "trust"}));
  EXPECT_EQ(installed.bootstrap, data_ / "native/bootstrap/bin/tovra-bootstrap.exe");
  EXPECT_TRUE(fs::is_regular_file(data_ / "trust/root.json"));
  EXPECT_TRUE(fs::is_regular_file(data_ / "repository.json"));
  EXPECT_FALSE(fs::exists(data_ / "native/staging"));
  EXPECT_FALSE(fs::exists(data_ / ".tovra-setup-incomplete"));
  EXPECT_EQ(installed.shortcut_problem, testing::under_wine() ? testing::kWineShortcutProblem : "");
  EXPECT_EQ(installed.shortcuts.size(), testing::under_wine() ? 0u : 1u);

  // Files the installer keeps are private, the stored launcher manifest included. Its access list
  // is inherited from the folder, which Wine does not do: it makes one from mode bits, Everyone included.
  if (!testing::under_wine()) {
    for (const auto& entry : fs::directory_iterator(data_ / "launcher/manifests"))
      EXPECT_EQ(testing::privacy_of(entry.path()), "ok") << entry.path();
  }

  // The installed builds and the succeeded install show in status through the program itself.
  StatusResult status = setup_status(data_);
  EXPECT_EQ(status.launcher_build, "launcher-1");  // the candidate, as nothing has started yet
  EXPECT_EQ(status.shortcuts, installed.shortcuts);
  ASSERT_TRUE(status.last_operation.has_value());
  EXPECT_EQ(status.last_operation->action, "install");

  const InstallResult intact = install(true);
  EXPECT_TRUE(intact.repaired);
  EXPECT_TRUE(intact.replaced.empty());

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
  EXPECT_EQ(testing::read_file(data_ / "userdata/save.dat"), "progress");
  EXPECT_FALSE(fs::exists(data_ / "native"));
  EXPECT_FALSE(fs::exists(data_ / "launcher"));
  for (const fs::path& shortcut : installed.shortcuts) EXPECT_FALSE(fs::exists(shortcut));
  EXPECT_FALSE(setup_status(data_).installed);
}

TEST_F(Workflows, ThemeFilesLandUnderTheirNamesAndGoWithTheBrand) {
  const auto themed = [](const std::string& image, std::uint32_t width) {
    Json definition = parse_json(builder::default_theme_definition(), 65536);
    definition["images"] = {{"banner", {{"file", image}}}};
    builder::BrandOptions brand;
    brand.icon = builder::ico_stub();
    brand.theme = builder::ThemeOptions{definition.dump(), {{image, builder::bmp_image(width, 1)}}};
    return brand;
  };
  options_.brand = themed("first.bmp", 1);
  rebuild();
  install();
  EXPECT_EQ(testing::read_file(data_ / "native/theme/theme.json"), options_.brand->theme->definition);
  EXPECT_EQ(testing::read_file(data_ / "native/theme/first.bmp"), builder::bmp_image(1, 1));
  EXPECT_EQ(testing::read_file(data_ / "native/brand.ico"), builder::ico_stub());

  options_.brand = themed("second.bmp", 2);
  rebuild();
  install(true);
  EXPECT_EQ(testing::read_file(data_ / "native/theme/second.bmp"), builder::bmp_image(2, 1));
  EXPECT_FALSE(fs::exists(data_ / "native/theme/first.bmp"));
  EXPECT_FALSE(fs::exists(data_ / "native/staging"));

  options_.brand.reset();
  rebuild();
  install(true);
  EXPECT_FALSE(fs::exists(data_ / "native/theme"));
  EXPECT_FALSE(fs::exists(data_ / "native/brand.ico"));
}

TEST_F(Workflows, RefusesWhatItMustNotTouch) {
  install();
  EXPECT_EQ(testing::outcome([&] { install(); }),
            "already_installed: Tovra is already installed in " + data_.string() + "; use repair");

  // A folder the user made, private as the installer demands (on Windows a folder made the
  // ordinary way inherits entries for other users).
  data_ = temp_ / "foreign";
  windows_security::ensure_private_directory(data_);
  testing::write_file(data_ / "notes.txt", "mine");
  EXPECT_EQ(testing::outcome([&] { install(); }), "unsafe_path: Choose an empty folder or an earlier Tovra data folder");
  EXPECT_EQ(testing::read_file(data_ / "notes.txt"), "mine");
  EXPECT_FALSE(fs::exists(data_ / "native"));

  data_ = package_ / "inside";
  EXPECT_EQ(testing::outcome([&] { install(); }), "unsafe_path: The package and data folders overlap");
  EXPECT_FALSE(fs::exists(data_));

  data_ = temp_ / "missing";
  EXPECT_EQ(testing::outcome([&] { install(true); }), "not_installed: Tovra is not installed in " + data_.string());
  EXPECT_EQ(testing::outcome([&] { remove(false); }), "not_installed: Tovra is not installed in " + data_.string());
}

TEST_F(Workflows, InstallAcceptsALockOnlyFolderAndRemovesItWithItsData) {
  windows_security::ensure_private_directory(data_);
  write_private_file(data_ / ".tovra-setup.lock", "");
  EXPECT_NO_THROW(install());
  fs::create_directory(data_ / "userdata");
  const UninstallResult removed = remove(true);
  EXPECT_TRUE(removed.data_removed);
  EXPECT_TRUE(removed.kept.empty());
  EXPECT_FALSE(fs::exists(data_));
}

TEST_F(Workflows, CancelledInstallLeavesNoFolderAndCancelledRepairIsRecorded) {
  NativeSetupCallbacks cancel_while_staging;
  bool staging = false;
  cancel_while_staging.progress = [&](std::string_view phase, std::uint64_t, std::uint64_t) {
    if (phase == "installing") staging = true;
  };
  cancel_while_staging.cancelled = [&] { return staging; };
  EXPECT_EQ(testing::outcome([&] { install(false, cancel_while_staging); }).substr(0, 10), "cancelled:");
  EXPECT_FALSE(fs::exists(data_));

  // Into an earlier data folder: only what was there before remains, and is kept by the install.
  windows_security::ensure_private_directory(data_ / "userdata");
  testing::write_file(data_ / "userdata/save.dat", "kept");
  staging = false;
  EXPECT_EQ(testing::outcome([&] { install(false, cancel_while_staging); }).substr(0, 10), "cancelled:");
  EXPECT_EQ(testing::names_in(data_), std::vector<std::string>{"userdata"});

  install();
  EXPECT_EQ(testing::read_file(data_ / "userdata/save.dat"), "kept");
  staging = false;
  fs::remove(data_ / "native/bootstrap/share/bootstrap.txt");
  EXPECT_EQ(testing::outcome([&] { install(true, cancel_while_staging); }).substr(0, 10), "cancelled:");
  const auto status = setup_status(data_).last_operation;
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->action, "repair");
  EXPECT_EQ(status->outcome, "failed");
  EXPECT_FALSE(fs::exists(data_ / ".tovra-setup-incomplete"));
}

TEST_F(Workflows, StatusOfMissingAndUnfinishedFolders) {
  const StatusResult missing = setup_status(data_);
  EXPECT_FALSE(missing.installed || missing.incomplete || missing.last_operation.has_value());

  install();
  testing::write_file(data_ / "native/bootstrap-update.json", "{}");
  EXPECT_TRUE(setup_status(data_).bootstrap_update_pending);

  // An unreadable launcher store only leaves the launcher build unknown.
  testing::write_file(data_ / "launcher/installation.json", "[");
  const StatusResult unknown_launcher = setup_status(data_);
  EXPECT_TRUE(unknown_launcher.installed);
  EXPECT_EQ(unknown_launcher.bootstrap_build, "bootstrap-1");
  EXPECT_EQ(unknown_launcher.launcher_build, "");

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
