#pragma once
// The console side of a run: phase lines on the error stream and the workflows' callbacks.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "setup/workflows.h"

namespace tovra {

// "42% (420.0 MiB of 1000.0 MiB)": the share done, rounded down, and both amounts in the unit
// the total reaches (bytes below 1 KiB, otherwise one decimal, rounded down).
std::string progress_figures(std::uint64_t done, std::uint64_t total);

// Prints one line per phase change; repeated reports of the same phase print nothing.
// Live (standard error is a terminal): the phase's line also shows progress_figures while the
// phase runs, rewritten in place after a carriage return at most ten times a second, and ends as
// the plain phase line when the phase changes or finish() is called.
class ConsolePhasePrinter {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  explicit ConsolePhasePrinter(std::ostream& err, bool live = false, Clock clock = std::chrono::steady_clock::now);
  void operator()(std::string_view phase, std::uint64_t done, std::uint64_t total) const;
  // Ends a live line that is still open; does nothing otherwise.
  void finish() const;

 private:
  struct State;
  // Shared so that copies of the callbacks agree on the last phase printed.
  std::shared_ptr<State> state_;
};

// `cancelled` is the predicate; `progress` prints phases in text mode and is empty in JSON mode.
NativeSetupCallbacks console_callbacks(bool json, std::function<bool()> cancelled, const ConsolePhasePrinter& phases);
NativeSetupCallbacks console_callbacks(bool json, std::function<bool()> cancelled, std::ostream& err);

}  // namespace tovra
