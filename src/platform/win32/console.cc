#include "platform/console.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "core/error.h"

namespace tovra {
namespace {

// Set from the system's control-handler thread, read by the working thread.
std::atomic<unsigned char> cancel_flag{0};
std::atomic<unsigned char> instance_guard{0};

BOOL WINAPI on_console_control(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    cancel_flag.store(1);
    return TRUE;
  }
  return FALSE;
}

}  // namespace

void use_binary_standard_streams() {
  std::fflush(stdout);
  std::fflush(stderr);
  ::_setmode(::_fileno(stdout), _O_BINARY);
  ::_setmode(::_fileno(stderr), _O_BINARY);
}

bool standard_error_is_terminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

ConsoleCancellation::ConsoleCancellation() {
  unsigned char expected = 0;
  require(instance_guard.compare_exchange_strong(expected, 1), "signal",
          "Console cancellation handler is already installed");
  active_ = true;
  cancel_flag.store(0);
  // Without a console there are no interrupt keys to watch.
  if (::GetConsoleCP() != 0) {
    if (::SetConsoleCtrlHandler(on_console_control, TRUE) == 0) {
      instance_guard.store(0);
      throw Error("signal", "Cannot enable safe cancellation from Ctrl+C");
    }
    handler_registered_ = true;
  }
}

ConsoleCancellation::~ConsoleCancellation() {
  if (handler_registered_) ::SetConsoleCtrlHandler(on_console_control, FALSE);
  if (active_) instance_guard.store(0);
}

bool ConsoleCancellation::cancel_requested() noexcept { return cancel_flag.load() != 0; }

std::function<bool()> ConsoleCancellation::predicate() const { return [] { return cancel_requested(); }; }

}  // namespace tovra
