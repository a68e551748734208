#pragma once
// unique_fd: the one owner of an open file or directory descriptor, closed on every path.
// POSIX: owns an int descriptor and closes it with close(); Windows: the win32 backend keeps the
// same interface over a HANDLE (stored as its integer value) closed with CloseHandle.

#include <utility>

namespace tovra {

class unique_fd {
 public:
  unique_fd() noexcept = default;
  explicit unique_fd(int fd) noexcept : fd_(fd) {}
  ~unique_fd() { reset(); }

  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  unique_fd(unique_fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return valid(); }

  // Gives up ownership without closing.
  int release() noexcept { return std::exchange(fd_, -1); }
  // Closes the current descriptor (errors ignored) and takes `fd`.
  void reset(int fd = -1) noexcept;

 private:
  int fd_ = -1;
};

}  // namespace tovra
