#include "platform/fault_stop.h"

#include <signal.h>
#include <unistd.h>

namespace tovra {

void stop_process_now(const std::string& line) {
  [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  ::kill(::getpid(), SIGKILL);
  ::_exit(137);  // not reached
}

}  // namespace tovra
