// The setup workflows run in process against a package the builder makes.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "package/package.h"
#include "platform/storage.h"
#include "setup/workflows.h"
#include "support/run_process.h"
#include "support/temp_dir.h"

namespace tovra {

namespace fs = std::filesystem;

// Every test gets its own menu folder, package and data folder.
class Workflows : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::set_environment_variable("XDG_DATA_HOME", (temp_ / "xdg").string());
    rebuild();
  }

  InstallResult install(bool repair = false, const NativeSetupCallbacks& callbacks = {}) {
    return NativeInstaller::install({.package = package_, .data_dir = data_, .repair = repair}, seal_, callbacks);
  }

  UninstallResult remove(bool remove_data) {
    return uninstall({.data_dir = data_, .remove_data = remove_data, .busy_timeout_ms = 200}, {});
  }

  // A package of the current options in a folder of its own.
  void rebuild() {
    package_ = temp_ / ("package-" + std::to_string(++builds_));
    seal_ = builder::build_package(options_, package_);
  }

  testing::TempDir temp_;
  builder::PackageOptions options_;
  fs::path package_;
  fs::path data_ = temp_ / "data";
  std::string seal_;
  int builds_ = 0;
};

}  // namespace tovra
