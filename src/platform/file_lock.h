#pragma once
// Lock files shared with the platform's own processes: a lock on the first byte of a small file.
// Windows: LockFileEx on byte 0 of a handle opened through the private file opening; POSIX: open
// file description locks (fcntl F_OFD_SETLK / F_OFD_SETLKW) on one byte at offset 0, which the
// platform processes take as well. Closing the handle, or the death of the process, drops the lock.

#include <cstdint>
#include <filesystem>

#include "platform/unique_fd.h"

namespace tovra {

// (volume, file index) of an open lock file.
struct LockFileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  friend bool operator==(const LockFileIdentity&, const LockFileIdentity&) = default;
};

// An identity-checked lock on an empty private file. Move-only; release closes the handle.
class NativeFileLock {
 public:
  NativeFileLock() = default;
  NativeFileLock(NativeFileLock&&) noexcept = default;
  NativeFileLock& operator=(NativeFileLock&&) noexcept = default;

  // create: open or create; share_delete: others may delete or rename the file while it is held
  // (Windows only, POSIX never prevents it); shared: a shared instead of an exclusive lock.
  // Raises busy "Another worker owns this native installation" when another holder conflicts.
  static NativeFileLock acquire(const std::filesystem::path& path, bool create, bool share_delete, bool shared);

  bool held() const noexcept { return handle_.valid(); }
  const LockFileIdentity& identity() const noexcept { return identity_; }
  void release() noexcept { handle_.reset(); }

 private:
  NativeFileLock(unique_fd handle, LockFileIdentity identity) : handle_(std::move(handle)), identity_(identity) {}

  unique_fd handle_;
  LockFileIdentity identity_;
};

// A plain lock file in a private folder that is created when missing. Move-only.
class OperationLock {
 public:
  OperationLock() = default;
  OperationLock(OperationLock&&) noexcept = default;
  OperationLock& operator=(OperationLock&&) noexcept = default;

  bool held() const noexcept { return handle_.valid(); }
  void release() noexcept { handle_.reset(); }

 private:
  friend OperationLock operation_lock(const std::filesystem::path& path, bool wait, bool shared);
  explicit OperationLock(unique_fd handle) : handle_(std::move(handle)) {}

  unique_fd handle_;
};

// wait false fails at once with busy "Another Tovra operation is using this state";
// wait true blocks until the lock is granted.
OperationLock operation_lock(const std::filesystem::path& path, bool wait, bool shared);

}  // namespace tovra
