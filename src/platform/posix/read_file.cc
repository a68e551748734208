#include "platform/read_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <system_error>
#include <vector>

#include "platform/posix/mount_id.h"
#include "platform/unique_fd.h"

namespace tovra {

bool mounted_folder(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error).lexically_normal();
  if (error) return false;
  if (!absolute.has_filename() && absolute != absolute.root_path()) absolute = absolute.parent_path();
  if (absolute == absolute.root_path()) return true;
  const unique_fd parent(::open(absolute.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  return !parent || posix::is_mount_point(parent.get(), absolute.filename().c_str());
}

PathKind path_kind(const std::filesystem::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    // ENOTDIR: a parent is an ordinary file, so nothing can exist below it.
    if (errno == ENOENT || errno == ENOTDIR) return PathKind::missing;
    return PathKind::unknown;
  }
  if (S_ISLNK(st.st_mode)) return PathKind::link;
  if (S_ISREG(st.st_mode)) return PathKind::file;
  if (S_ISDIR(st.st_mode)) return PathKind::directory;
  return PathKind::other;
}

std::optional<std::filesystem::path> own_executable_path(std::size_t limit) {
  if (limit == 0 || limit > (std::size_t{1} << 20)) return std::nullopt;
  // One byte beyond the limit shows truncation.
  std::vector<char> buffer(limit + 1);
  ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (length <= 0 || static_cast<std::size_t>(length) > limit) return std::nullopt;
  return std::filesystem::path(std::string(buffer.data(), static_cast<std::size_t>(length)));
}

ReadOnlyFile ReadOnlyFile::open(const std::filesystem::path& path) {
  // O_NONBLOCK keeps a FIFO from stalling the open; it has no effect on ordinary files.
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    const int error = errno;
    if (error == ELOOP) {
      struct stat st {};
      if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return ReadOnlyFile(unique_fd(), OpenStatus::link);
    }
    return ReadOnlyFile(unique_fd(), OpenStatus::failed);
  }
  return ReadOnlyFile(unique_fd(fd), OpenStatus::opened);
}

std::optional<std::uint64_t> ReadOnlyFile::ordinary_size() const {
  struct stat st {};
  if (!fd_.valid() || ::fstat(fd_.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

std::optional<std::uint64_t> ReadOnlyFile::size() const {
  struct stat st {};
  if (!fd_.valid() || ::fstat(fd_.get(), &st) != 0 || st.st_size < 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

std::optional<std::size_t> ReadOnlyFile::read(char* buffer, std::size_t capacity) {
  if (!fd_.valid()) return std::nullopt;
  for (;;) {
    ssize_t count = ::read(fd_.get(), buffer, capacity);
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno != EINTR) return std::nullopt;
  }
}

}  // namespace tovra
