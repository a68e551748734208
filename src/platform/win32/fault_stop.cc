#include "platform/fault_stop.h"

#include <windows.h>

namespace tovra {

void stop_process_now(const std::string& line) {
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  ::TerminateProcess(::GetCurrentProcess(), 137);
  ::ExitProcess(137);  // not reached
}

}  // namespace tovra
