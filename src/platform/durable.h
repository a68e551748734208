#pragma once
// Durable file operations: atomic writes through a flushed sibling transaction file, directory
// flushes, tree removal that never follows a link, and removal that moves busy files aside.
// POSIX: O_CREAT|O_EXCL transaction file, one write, fsync, renameat (replace) or renameat2
// RENAME_NOREPLACE with a linkat/unlinkat fallback, fsync of the directory; errno values in
// messages; ENOSPC/EDQUOT are the disk-full problems; EBUSY/ETXTBSY/EACCES/EPERM count as "busy".
// Windows: CREATE_NEW, WriteFile, FlushFileBuffers, MoveFileExW with write-through.
// Every operation raises tovra::Error.

#include <filesystem>
#include <string_view>
#include <vector>

namespace tovra {

// Writes `content` to `destination` so that it is never seen partly written: the old content or
// the new one, never a mix, and no transaction file remains after success or failure.
//  replace_existing: an existing destination is replaced (else the commit fails and it stays);
//  private_storage: the parent is made private storage (ensure_private_directory) and the file is
//    created private; otherwise the parent must already exist and not be a symbolic link;
//  synchronize: the file is flushed before the rename, and the rename made durable.
void export_file(const std::filesystem::path& destination, std::string_view content, bool replace_existing,
                 bool private_storage, bool synchronize);

// export_file(replace, private, synchronize): records, trust files, theme files, ledgers.
void write_private_file(const std::filesystem::path& destination, std::string_view content);

// export_file(no replace, not private, synchronize): never replaces an existing destination.
// POSIX: the file gets the permission classes that its folder grants (a private folder gives 0600).
void create_owned_file(const std::filesystem::path& destination, std::string_view content);

// Raises insufficient_space for a disk-full error number (POSIX ENOSPC/EDQUOT; Windows 112, 39,
// 1295), otherwise file_write with `message` + " (" + error + ")".
[[noreturn]] void raise_file_write_error(int error, std::string_view message);

// Absolute, lexically normalised path. Windows adds "\\?\" to drive-letter paths; POSIX adds nothing.
std::filesystem::path native_long_path(const std::filesystem::path& path);

// Flushes a directory's entries to disk while its ancestry is held (never through a link).
// POSIX: fsync on the directory descriptor; Windows: FlushFileBuffers on a directory handle.
void sync_directory(const std::filesystem::path& directory);

// Removes an ordinary directory tree, then flushes the root's parent; a missing root is success.
// An inspection pass first refuses a link anywhere in the tree or a depth over 256 before anything
// is deleted. POSIX: walks with openat/unlinkat below held descriptors, never following a link.
void remove_tree(const std::filesystem::path& root);

// Deletes a file (a link is removed as itself). True when it is gone; false when it was busy and
// was moved into `quarantine` (created with its parents) under "<random id>-<name>".
bool remove_or_quarantine(const std::filesystem::path& file, const std::filesystem::path& quarantine);

// Removes a file or a whole directory tree, quarantining busy files; appends the former path of
// each quarantined file to `moved`. A directory that stays because a file in it was quarantined
// is tolerated. A tree holding a folder that no removal can take away is refused, as
// inspect_removal does, before anything is removed.
void remove_path_or_quarantine(const std::filesystem::path& path, const std::filesystem::path& quarantine,
                               std::vector<std::filesystem::path>& moved);

// Changes nothing; raises the problem that remove_path_or_quarantine would meet at a folder that no
// removal can take away. POSIX: a mount point (the root of a mount, or on another device or mount
// than its parent) cannot be unlinked and is never entered: file_remove "Cannot remove " + its
// path. Windows removes a mounted folder as itself, so nothing is refused there.
void inspect_removal(const std::filesystem::path& path);

}  // namespace tovra
