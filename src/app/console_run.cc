#include "app/console_run.h"

namespace tovra {

void ConsolePhasePrinter::operator()(std::string_view phase, std::uint64_t, std::uint64_t) const {
  if (phase == *last_) return;
  last_->assign(phase);
  if (phase == "verifying")
    *err_ << "Verifying\u2026\n";
  else if (phase == "installing")
    *err_ << "Installing\u2026\n";
  else
    *err_ << "Removing\u2026\n";
  err_->flush();
}

NativeSetupCallbacks console_callbacks(bool json, std::function<bool()> cancelled, std::ostream& err) {
  NativeSetupCallbacks callbacks;
  callbacks.cancelled = std::move(cancelled);
  if (!json) callbacks.progress = ConsolePhasePrinter(err);
  return callbacks;
}

}  // namespace tovra
