#pragma once
// Private storage: the data folder and everything below it lies on a local volume with persistent
// permissions, is reached through ordinary directories only (never a link), and is owned by the
// current user with access for nobody else but the system account.
// POSIX: owner = effective uid, modes 0700/0600 applied with fchmod, POSIX ACL xattrs inspected,
// every walk starts at "/" with O_DIRECTORY|O_NOFOLLOW and continues with *at() calls.
// Windows: token SID, a protected DACL with one inheritable entry, handles without delete sharing.
// Every operation raises tovra::Error (codes unsafe_path, permissions, size_limit).

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace tovra::windows_security {

// The current user. POSIX: the effective uid in decimal; Windows: the token user's binary SID.
// Read once per operation, never cached across operations.
struct UserIdentity {
  std::string native;
};

// POSIX: geteuid(); Windows: the process token's TokenUser.
UserIdentity current_user_identity();

// Open directories from the root down to a path, each one held open while work is done below it.
// POSIX: read-only descriptors opened with O_DIRECTORY|O_NOFOLLOW (so fsync and fgetxattr work), each
// relative to the previous one, so a renamed or replaced ancestor can never redirect later calls;
// Windows: handles that deny delete sharing, so no ancestor can be renamed or replaced meanwhile.
// At most 129 entries (the root and 128 components). The last entry is the target, which is a
// file only when the chain was opened with target_is_directory = false.
class DirectoryChain {
 public:
  DirectoryChain() = default;
  DirectoryChain(DirectoryChain&&) noexcept = default;
  DirectoryChain& operator=(DirectoryChain&&) noexcept = default;

  // The normalised absolute path the chain was opened for.
  const std::filesystem::path& path() const { return path_; }
  // The root first, then one entry per component.
  const std::vector<unique_fd>& handles() const { return handles_; }
  // The last entry (the target); the chain must not be empty.
  const unique_fd& target() const { return handles_.back(); }
  // The directory holding the target (the root when the target is the root).
  const unique_fd& parent() const { return handles_.size() > 1 ? handles_[handles_.size() - 2] : handles_.back(); }
  std::size_t size() const { return handles_.size(); }
  bool empty() const { return handles_.empty(); }

  // Used by the backend while it walks.
  void set_path(std::filesystem::path path) { path_ = std::move(path); }
  void push(unique_fd handle) { handles_.push_back(std::move(handle)); }
  // One directory below the target, and back (extend_directory_chain).
  void extend(const std::filesystem::path& name, unique_fd handle) {
    path_ /= name;
    handles_.push_back(std::move(handle));
  }
  void pop() {
    handles_.pop_back();
    path_ = path_.parent_path();
  }

 private:
  std::filesystem::path path_;
  std::vector<unique_fd> handles_;
};

// Storage path rules: 1 to 4096 UTF-16 units, no NUL, no network/device form ("//x", "\\x"),
// components checked by check_path_components, made absolute and lexically normalised with no
// trailing separator. A root ("/", "C:\") is refused unless root_allowed.
// POSIX: drive-letter rules have no counterpart; an absolute path begins with one "/".
std::filesystem::path normalize_private_path(const std::filesystem::path& path, bool root_allowed);

// Counts the components of the path's relative part ("." and empty ones skipped), refusing "..",
// over-long (255 units), final dot or blank, <>:"/\|?*, control characters, reserved device
// names (CON, PRN, AUX, NUL, COM1-9, LPT1-9 and superscript forms) and a 129th component.
// Same rules on every system, so the data layout stays valid on Windows.
std::size_t check_path_components(const std::filesystem::path& path);

// The volume of an absolute normalised path must be local with persistent permissions.
// POSIX: fstatfs of the deepest existing ancestor; network/FUSE file systems are not local,
// FAT/exFAT/ISO 9660/UDF lack persistent permissions. Windows: drive type and FILE_PERSISTENT_ACLS.
void require_private_volume(const std::filesystem::path& normalized);

// normalize_private_path (root not allowed) then require_private_volume.
void require_local_storage(const std::filesystem::path& path);

// Opens the chain from the root to `path`. Missing directories are created privately when
// create_missing and target_is_directory (at most 32 per call; those created stay when a later
// step fails). When verify_target, the last entry must pass verify_private_object.
// POSIX: a missing component is ENOENT; created directories get mode 0700 with fchmod.
DirectoryChain open_directory_chain(const std::filesystem::path& path, bool target_is_directory,
                                    bool create_missing, const UserIdentity& identity, bool verify_target);

// Adds the directory `name` below the chain's target (a directory), created privately when
// missing, never reached through a link, and verified private. One open below a held directory,
// so a tree can be filled without walking its ancestry again.
void extend_directory_chain(DirectoryChain& chain, const std::filesystem::path& name, const UserIdentity& identity);

// An open object must be an ordinary directory or an ordinary single-link file of the expected kind.
// POSIX: fstat kind, st_nlink == 1 for files, never a symbolic link; Windows: no reparse point.
void require_ordinary_object(const unique_fd& handle, bool expect_directory);

// require_ordinary_object, then: owned by `identity`, no access for anyone else (uid 0 / local
// system accepted), owner has full access. POSIX: no group/other mode bits, owner rwx (directory)
// or rw (file), system.posix_acl_access / system.posix_acl_default entries naming another uid or
// gid refused; Windows: owner SID and DACL walk.
void verify_private_object(const unique_fd& handle, bool is_directory, const UserIdentity& identity);

// verify_private_object with a freshly read identity (lock files).
void verify_private_handle(const unique_fd& handle, bool is_directory);

// Creates the missing directories of `path` privately and verifies the target is private.
void ensure_private_directory(const std::filesystem::path& path);

// Runs `action` while the ancestry of `directory` (target included, not verified private) is held.
void with_directory_chain(const std::filesystem::path& directory,
                          const std::function<void(const DirectoryChain&)>& action);

enum class FileAccess { read, write, read_write };

// POSIX: create_new = O_CREAT|O_EXCL, open_always = O_CREAT, open_existing = neither; never
// O_TRUNC. create_always and truncate_existing exist for the Windows mapping and are refused
// by open_private_file.
enum class Disposition { create_new, open_existing, open_always, create_always, truncate_existing };

// Share modes (Windows only; ignored on POSIX, which has no counterpart).
inline constexpr unsigned share_none = 0;
inline constexpr unsigned share_read = 1;
inline constexpr unsigned share_write = 2;
inline constexpr unsigned share_delete = 4;

// File flags. executable: a created private file gets mode 0700 instead of 0600 on POSIX
// (no effect on Windows).
inline constexpr unsigned file_flag_none = 0;
inline constexpr unsigned file_flag_executable = 1;

// A file opened by open_private_file / open_owned_file: either a valid descriptor, or an invalid
// one with the system error (errno on POSIX, GetLastError on Windows) kept for the caller's message.
struct OpenedFile {
  unique_fd file;
  int error = 0;
  explicit operator bool() const { return file.valid(); }
};

// Opens a private file below a pinned parent (verified private when verify_parent). A created file
// is private (0600 / 0700 with fchmod); an opened file must already be private and single-link.
// Open failures return an invalid file with the error; policy failures raise Error.
OpenedFile open_private_file(const std::filesystem::path& path, FileAccess access, unsigned share,
                             Disposition disposition, unsigned flags, bool verify_parent);

// open_private_file for one name directly inside a chain's target directory (which the caller has
// already checked), so a tree can be filled below one held chain. POSIX: openat on the target.
OpenedFile open_private_file_at(const DirectoryChain& parent, std::string_view name, FileAccess access,
                                Disposition disposition, unsigned flags, unsigned share = share_none);

// Opens a file owned by the current user whose permissions come from its parent, with no other
// checks. POSIX: the open never follows a link in the last component (O_NOFOLLOW), created with
// mode 0666 & ~umask; Windows: owner-only security descriptor.
OpenedFile open_owned_file(const std::filesystem::path& path, FileAccess access, unsigned share,
                           Disposition disposition, unsigned flags);

// A volume-based identity that is equal for every way of reaching the same folder.
// POSIX: "major:minor" of the deepest existing ancestor's device, then its path inside that file
// system (from /proc/self/mountinfo, so a bind mount gives the same identity), then the missing
// components as typed, no case folding. Windows: the volume GUID path, upper-cased.
// With require_directories every existing component must be a directory; otherwise the last
// one may be a file.
std::string destination_identity(const std::filesystem::path& path, bool require_directories);

// An identity with "/" between its components, the form names are derived from. Windows keeps the
// "\\?" that begins its identities and turns every later backslash into "/"; POSIX identities
// already have this form.
std::string generic_identity(std::string_view identity);

}  // namespace tovra::windows_security
