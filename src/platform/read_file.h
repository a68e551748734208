#pragma once
// Read-only file service: opening a file for reading without following a final link, and
// inspecting a path's own kind. POSIX opens with O_NOFOLLOW and inspects with lstat; Windows
// opens the reparse point itself with backup semantics and full sharing, and reads attributes.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>

#include "platform/unique_fd.h"

namespace tovra {

// Kind of a path's final component, read without following it.
enum class PathKind {
  missing,    // neither it nor some parent exists
  file,       // ordinary file
  directory,  // ordinary directory
  link,       // symbolic link
  reparse,    // any other reparse point (junction, mount point); Windows only
  other,      // device, FIFO, socket
  unknown,    // the status could not be read
};

PathKind path_kind(const std::filesystem::path& path);

// Whether a directory is a mounted file system, which no walk below a managed root enters.
// POSIX: a mount point (the root of a mount, or on another device or mount than its parent);
// Windows: never, as path_kind already reports a mounted folder as a reparse point.
bool mounted_folder(const std::filesystem::path& path);

// Own executable path (POSIX: /proc/self/exe, Windows: the module file name), or nothing when
// it cannot be read within `limit` bytes.
std::optional<std::filesystem::path> own_executable_path(std::size_t limit);

// An open, read-only file. Opening never blocks on a FIFO and never passes a final link.
class ReadOnlyFile {
 public:
  enum class OpenStatus { opened, link, failed };

  static ReadOnlyFile open(const std::filesystem::path& path);

  OpenStatus status() const { return status_; }
  bool is_open() const { return status_ == OpenStatus::opened; }
  // The size of an ordinary file (not a directory, device or link), from one status read;
  // nothing for any other kind or when the status is unreadable.
  std::optional<std::uint64_t> ordinary_size() const;
  // Current size in bytes, or nothing when it cannot be read.
  std::optional<std::uint64_t> size() const;
  // Reads at most `capacity` bytes; 0 at end of file; nothing on failure.
  std::optional<std::size_t> read(char* buffer, std::size_t capacity);

 private:
  ReadOnlyFile(unique_fd fd, OpenStatus status) : fd_(std::move(fd)), status_(status) {}
  unique_fd fd_;
  OpenStatus status_ = OpenStatus::failed;
};

}  // namespace tovra
