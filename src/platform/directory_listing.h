#pragma once
// Directory listing: the entries of one folder, not recursively, each with its own kind.
// POSIX: opendir on a descriptor opened with O_DIRECTORY|O_NOFOLLOW, fstatat per entry (once
// without and once with following a link; a mount point counts as a link); Windows:
// FindFirstFileExW on the folder opened as a non-reparse directory, the reparse-point attribute
// for `link` and the target's attributes for `regular`. Names are UTF-8. Failures raise Error file_read.

#include <filesystem>
#include <functional>
#include <string>

namespace tovra {

struct DirectoryEntry {
  std::string name;      // UTF-8 file name, never "." or ".."
  bool link = false;     // the entry itself is a symbolic link or reparse point
  bool regular = false;  // following a link, the entry is an ordinary file
};

// Calls `visit` for each entry in the order the system returns them; stops when it returns false.
// The folder itself must not be a link.
void list_directory(const std::filesystem::path& directory, const std::function<bool(const DirectoryEntry&)>& visit);

}  // namespace tovra
