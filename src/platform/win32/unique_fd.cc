#include "platform/unique_fd.h"

#include "platform/win32/win32_support.h"

namespace tovra {

void unique_fd::reset(int fd) noexcept {
  if (fd_ >= 0 && fd_ != fd) ::CloseHandle(win32::handle_of(*this));
  fd_ = fd;
}

}  // namespace tovra
