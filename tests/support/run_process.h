#pragma once
// Runs a program with a chosen environment and collects its exit code, standard output and
// standard error; optionally signals it once a text appears on standard error.

#include <optional>
#include <string>
#include <vector>

namespace tovra::testing {

struct ProcessResult {
  int exit_code = -1;  // -1 when it did not exit normally
  std::string out;
  std::string err;
};

struct SignalWhen {
  std::string text_on_stderr;
  int signal = 0;
};

ProcessResult run_process(const std::string& program, const std::vector<std::string>& arguments,
                          const std::vector<std::string>& environment,
                          const std::optional<SignalWhen>& signal_when = std::nullopt);

}  // namespace tovra::testing
