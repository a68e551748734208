#include "platform/file_lock.h"

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/error.h"
#include "core/paths.h"
#include "platform/storage.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
namespace ws = windows_security;

constexpr std::size_t kMaxLockPathBytes = 4096;
constexpr std::size_t kMaxComponents = 128;

[[noreturn]] void fail(std::string_view message) { throw Error("lock_failed", std::string(message)); }

void require_bounded_path(const fs::path& path) {
  const std::string text = utf8_path(path);
  if (text.empty() || text.size() > kMaxLockPathBytes || text.find('\0') != std::string::npos) {
    fail("Native ownership requires a bounded lock path and known sharing");
  }
}

// Holds every ancestor of the lock file open, each checked to be a plain directory, so that the
// file is opened relative to its held parent and a swapped ancestor cannot redirect the open.
ws::DirectoryChain open_parents(const fs::path& path) {
  const fs::path normal = fs::absolute(path).lexically_normal();
  if (!normal.has_filename()) fail("Native ownership requires ordinary existing parents");
  std::size_t components = 0;
  for (const auto& part : normal.parent_path().relative_path()) {
    if (!part.empty()) ++components;
  }
  if (components > kMaxComponents) fail("Native ownership requires ordinary existing parents");
  try {
    return ws::open_directory_chain(normal.parent_path(), true, false, ws::current_user_identity(), false);
  } catch (const Error&) {
    fail("Native ownership requires ordinary existing parents");
  }
}

LockFileIdentity checked_lock_file(const unique_fd& fd) {
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_size != 0) {
    fail("Native ownership requires an ordinary empty private file");
  }
  try {
    ws::verify_private_handle(fd, false);
  } catch (const Error&) {
    fail("Native ownership requires an ordinary empty private file");
  }
  return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// F_OFD_SETLK(W) on byte 0; returns 0 or the errno of the failure.
int lock_first_byte(int fd, bool shared, bool wait) {
  struct flock lock {};
  lock.l_type = shared ? F_RDLCK : F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  lock.l_pid = 0;
  for (;;) {
    if (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

}  // namespace

NativeFileLock NativeFileLock::acquire(const fs::path& path, bool create, bool share_delete, bool shared) {
  (void)share_delete;  // POSIX cannot stop another process from unlinking or renaming the file
  require_bounded_path(path);
  const fs::path name = fs::absolute(path).lexically_normal().filename();
  unique_fd file;
  {
    const ws::DirectoryChain parents = open_parents(path);
    const int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
    bool created = false;
    if (create) {
      file.reset(::openat(parents.target().get(), name.c_str(), flags | O_CREAT | O_EXCL, 0600));
      created = file.valid();
      if (!created && errno != EEXIST) fail("Cannot open ordinary private native ownership");
    }
    if (!file) file.reset(::openat(parents.target().get(), name.c_str(), flags));
    if (!file) {
      if (errno == EISDIR) fail("Native ownership requires an ordinary empty private file");
      fail("Cannot open ordinary private native ownership");
    }
    // The umask may have narrowed the mode, never widened it; make it exactly private.
    if (created && ::fchmod(file.get(), 0600) != 0) fail("Cannot open ordinary private native ownership");
  }
  const LockFileIdentity identity = checked_lock_file(file);

  const int error = lock_first_byte(file.get(), shared, false);
  if (error == EAGAIN || error == EACCES) {
    throw Error("busy", "Another worker owns this native installation");
  }
  if (error != 0) fail("Cannot acquire native installation ownership");

  // The path may have been swapped between the open and the lock: it must still name this file.
  try {
    require_bounded_path(path);
    const ws::DirectoryChain parents = open_parents(path);
    unique_fd probe(
        ::openat(parents.target().get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!probe) fail("Native ownership path changed while locking");
    if (checked_lock_file(probe) != identity) fail("Native ownership path changed while locking");
  } catch (const Error&) {
    file.reset();
    throw Error("lock_failed", "Native ownership path changed while locking");
  }
  return NativeFileLock(std::move(file), identity);
}

OperationLock operation_lock(const fs::path& path, bool wait, bool shared) {
  const fs::path normal = fs::absolute(path).lexically_normal();
  ws::ensure_private_directory(normal.parent_path());
  ws::OpenedFile opened = ws::open_private_file(normal, ws::FileAccess::read_write,
                                                ws::share_read | ws::share_write, ws::Disposition::open_always,
                                                ws::file_flag_none, false);
  if (!opened) fail("Cannot open operation lock");
  if (lock_first_byte(opened.file.get(), shared, wait) != 0) {
    opened.file.reset();
    throw Error("busy", "Another Tovra operation is using this state");
  }
  return OperationLock(std::move(opened.file));
}

}  // namespace tovra
