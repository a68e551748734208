#pragma once
// Moving and removing single entries inside a data folder, never through a link.
// POSIX: renameat2 with RENAME_NOREPLACE (renameat after an existence check where the file system
// refuses the flag) and unlinkat, below parent descriptors opened from "/" without following links,
// then fsync of the parents. Windows: MoveFileExW without replace and with write-through, and
// DeleteFileW / RemoveDirectoryW on the entry itself.

#include <filesystem>

namespace tovra {

// Renames `from` to `to` (a file or a whole folder); `to` must not exist. The move is made durable.
// Raises file_write "Cannot move " + from + " to " + to + " (" + error + ")".
void move_entry(const std::filesystem::path& from, const std::filesystem::path& to);

// Removes one file, or one empty folder, without following a link (a link is removed as itself).
// True when the entry is gone afterwards, including when it never existed.
bool remove_entry(const std::filesystem::path& path) noexcept;

}  // namespace tovra
