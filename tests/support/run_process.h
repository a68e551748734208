#pragma once
// Runs a program with a chosen environment and collects its exit code, standard output and
// standard error; optionally signals it once a text appears on standard error. On Windows the
// environment entries replace or extend the inherited ones (programs there need SystemRoot and
// the like), and any signal ends the process abruptly.

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

// Sets (or, with an empty value, removes) a variable of this process's environment.
void set_environment_variable(const std::string& name, const std::string& value);

}  // namespace tovra::testing
