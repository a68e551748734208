#pragma once
// The real tovra-install, sealed to a package built with the package builder, run as a user would:
// a private HOME, a temporary data folder, and the printed sentence, document and exit code checked.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/json.h"
#include "support/run_process.h"
#include "support/temp_dir.h"

namespace tovra {

namespace fs = std::filesystem;
using testing::ProcessResult;

class Installer : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(home_); }

  ProcessResult run(const std::vector<std::string>& arguments, const std::optional<testing::SignalWhen>& signal = {}) {
    return testing::run_process(TOVRA_E2E_INSTALLER, arguments, {"HOME=" + home_.string(), "PATH=/usr/bin:/bin"},
                                signal);
  }
  // A command on the data folder; install and repair take the sealed package.
  ProcessResult on_data(std::vector<std::string> arguments, const std::optional<testing::SignalWhen>& signal = {}) {
    arguments.insert(arguments.end(), {"--data-dir", data_.string()});
    if (arguments.front() == "install" || arguments.front() == "repair")
      arguments.insert(arguments.end(), {"--package", TOVRA_E2E_PACKAGE});
    return run(arguments, signal);
  }
  Json json_of(std::vector<std::string> arguments) {
    arguments.push_back("--json");
    const ProcessResult result = on_data(arguments);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    return Json::parse(result.out);
  }

  testing::TempDir temp_;
  fs::path home_ = temp_ / "home";
  fs::path data_ = temp_ / "data";
};

}  // namespace tovra
