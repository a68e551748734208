#pragma once
// The console side of a run: phase lines on the error stream and the workflows' callbacks.

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "setup/workflows.h"

namespace tovra {

// Prints one line per phase change; repeated reports of the same phase print nothing.
class ConsolePhasePrinter {
 public:
  explicit ConsolePhasePrinter(std::ostream& err) : err_(&err), last_(std::make_shared<std::string>()) {}
  void operator()(std::string_view phase, std::uint64_t done, std::uint64_t total) const;

 private:
  std::ostream* err_;
  // Shared so that copies of the callbacks agree on the last phase printed.
  std::shared_ptr<std::string> last_;
};

// `cancelled` is the predicate; `progress` prints phases in text mode and is empty in JSON mode.
NativeSetupCallbacks console_callbacks(bool json, std::function<bool()> cancelled, std::ostream& err);

}  // namespace tovra
