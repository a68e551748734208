#pragma once
// The real tovra-install, sealed to a package built with the package builder, run as a user would:
// a private HOME, temporary data folders, and the printed sentence, document and exit code checked.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/json.h"
#include "platform/file_lock.h"
#include "support/run_process.h"
#include "support/temp_dir.h"

namespace tovra {

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
      if (name.ends_with(".tmp") || entry.path() == data_ / "native/staging") found.push_back(entry.path().string());
    }
    return found;
  }

  testing::TempDir temp_;
  fs::path home_;
  fs::path data_;
  fs::path menu_;
};

}  // namespace tovra
