#pragma once
// Test builds with fault injection only: ends this process at once, as a crash would, after
// writing `line` to standard error. POSIX: SIGKILL to itself; Windows: TerminateProcess.

#include <string>

namespace tovra {

[[noreturn]] void stop_process_now(const std::string& line);

}  // namespace tovra
