#include "platform/unique_fd.h"

#include <unistd.h>

namespace tovra {

void unique_fd::reset(int fd) noexcept {
  if (fd_ >= 0 && fd_ != fd) ::close(fd_);
  fd_ = fd;
}

}  // namespace tovra
