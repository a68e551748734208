#pragma once
// Safe cancellation from the console: the interrupt keys only set a one-byte flag that the
// workflows test at their safe boundaries; the work itself is never interrupted.
// Windows registers a console control handler for Ctrl+C and Ctrl+Break when the process has a
// console; POSIX installs a sigaction handler for SIGINT and SIGQUIT (SA_RESTART), always.

#include <functional>

namespace tovra {

// Puts standard output and error in binary mode, so each line ends in a line feed alone; call it
// before anything is printed. Windows streams start in text mode (CR LF); POSIX needs nothing.
void use_binary_standard_streams();

// Whether standard error is an interactive terminal, where a progress line can be rewritten in
// place. POSIX: isatty; Windows: the handle is a console (GetConsoleMode succeeds).
bool standard_error_is_terminal();

class ConsoleCancellation {
 public:
  // Raises `signal` when another instance exists or the handler cannot be installed.
  ConsoleCancellation();
  ~ConsoleCancellation();
  ConsoleCancellation(const ConsoleCancellation&) = delete;
  ConsoleCancellation& operator=(const ConsoleCancellation&) = delete;

  // True once the user asked to cancel; the request is never withdrawn.
  static bool cancel_requested() noexcept;
  // The predicate that becomes the workflows' `cancelled` callback.
  std::function<bool()> predicate() const;

 private:
  bool active_ = false;
  bool handler_registered_ = false;
};

}  // namespace tovra
