#include "platform/entries.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "core/error.h"
#include "core/paths.h"
#include "platform/fault_injection.h"
#include "platform/storage.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
namespace ws = windows_security;

ws::DirectoryChain parent_chain(const fs::path& normalized) {
  return ws::open_directory_chain(normalized.parent_path(), true, false, ws::current_user_identity(), false);
}

[[noreturn]] void raise_move(const fs::path& from, const fs::path& to, int error) {
  throw Error("file_write",
              "Cannot move " + utf8_path(from) + " to " + utf8_path(to) + " (" + std::to_string(error) + ")");
}

}  // namespace

void move_entry(const fs::path& from, const fs::path& to) {
  if (const int injected = fault_point("move_entry")) raise_move(from, to, injected);
  const fs::path source = ws::normalize_private_path(from, false);
  const fs::path destination = ws::normalize_private_path(to, false);
  const ws::DirectoryChain source_parent = parent_chain(source);
  const ws::DirectoryChain destination_parent = parent_chain(destination);
  const int source_fd = source_parent.target().get();
  const int destination_fd = destination_parent.target().get();
  const std::string source_name = source.filename().native();
  const std::string destination_name = destination.filename().native();

  if (::renameat2(source_fd, source_name.c_str(), destination_fd, destination_name.c_str(), RENAME_NOREPLACE) != 0) {
    if (errno != EINVAL) raise_move(from, to, errno);
    // The file system does not know the flag: the destination is checked under the held parents.
    struct stat st {};
    if (::fstatat(destination_fd, destination_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) raise_move(from, to, EEXIST);
    if (::renameat(source_fd, source_name.c_str(), destination_fd, destination_name.c_str()) != 0)
      raise_move(from, to, errno);
  }
  if (::fsync(destination_fd) != 0 || ::fsync(source_fd) != 0) {
    throw Error("file_sync", "Cannot synchronize directory " + utf8_path(destination.parent_path()) + " (" +
                                 std::to_string(errno) + ")");
  }
}

bool remove_entry(const fs::path& path) noexcept {
  try {
    if (fault_point("remove_entry") != 0) return false;
    const fs::path normalized = ws::normalize_private_path(path, false);
    const ws::DirectoryChain parent = parent_chain(normalized);
    const int fd = parent.target().get();
    const std::string name = normalized.filename().native();
    struct stat st {};
    if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    const int flags = S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0;
    if (::unlinkat(fd, name.c_str(), flags) != 0) return errno == ENOENT;
    ::fsync(fd);
    return true;
  } catch (...) {
    // A parent that cannot be reached holds no entry to remove; the entry is gone when the path
    // names nothing at all (an interrupted removal may already have taken its parent).
    struct stat st {};
    return ::lstat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
  }
}

}  // namespace tovra
