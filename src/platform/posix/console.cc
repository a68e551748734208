#include "platform/console.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <csignal>

#include "core/error.h"

namespace tovra {
namespace {

volatile std::sig_atomic_t cancel_flag = 0;
std::atomic<unsigned char> instance_guard{0};
struct sigaction previous_interrupt;
struct sigaction previous_quit;

extern "C" void on_cancel_signal(int) { cancel_flag = 1; }

}  // namespace

void use_binary_standard_streams() {}

bool standard_error_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

ConsoleCancellation::ConsoleCancellation() {
  unsigned char expected = 0;
  require(instance_guard.compare_exchange_strong(expected, 1), "signal",
          "Console cancellation handler is already installed");
  active_ = true;
  cancel_flag = 0;

  struct sigaction action {};
  action.sa_handler = on_cancel_signal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  const bool interrupt = sigaction(SIGINT, &action, &previous_interrupt) == 0;
  const bool quit = interrupt && sigaction(SIGQUIT, &action, &previous_quit) == 0;
  if (!quit) {
    // The destructor does not run for a failed constructor: undo here.
    if (interrupt) sigaction(SIGINT, &previous_interrupt, nullptr);
    instance_guard.store(0);
    throw Error("signal", "Cannot enable safe cancellation from Ctrl+C");
  }
  handler_registered_ = true;
}

ConsoleCancellation::~ConsoleCancellation() {
  if (handler_registered_) {
    sigaction(SIGQUIT, &previous_quit, nullptr);
    sigaction(SIGINT, &previous_interrupt, nullptr);
  }
  if (active_) instance_guard.store(0);
}

bool ConsoleCancellation::cancel_requested() noexcept { return cancel_flag != 0; }

std::function<bool()> ConsoleCancellation::predicate() const { return [] { return cancel_requested(); }; }

}  // namespace tovra
