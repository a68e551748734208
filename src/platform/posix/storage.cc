#include "platform/storage.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>

#include "core/error.h"
#include "platform/fault_injection.h"
#include "platform/posix/mount_id.h"

namespace tovra::windows_security {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t max_path_units = 4096;
constexpr std::size_t max_component_units = 255;
constexpr std::size_t max_components = 128;
constexpr int max_created_directories = 32;
constexpr std::size_t max_acl_bytes = 131072;
constexpr std::size_t max_acl_entries = 128;
constexpr std::size_t max_identity_units = 4160;
constexpr std::size_t max_mountinfo_bytes = 16u << 20;

constexpr const char* not_ordinary = "Private Windows storage must be an ordinary directory or single-link file";

// Bounds are counted in UTF-16 units so the same paths stay valid on Windows. A four-byte UTF-8
// sequence is a surrogate pair; stray bytes count as one unit each.
std::size_t utf16_units(std::string_view text) {
  std::size_t units = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) == 0x80) continue;
    units += c >= 0xF0 ? 2 : 1;
  }
  return units;
}

std::vector<std::string> components_of(const fs::path& normalized) {
  std::vector<std::string> parts;
  for (const auto& part : normalized.relative_path()) {
    if (!part.empty() && part != ".") parts.push_back(part.native());
  }
  return parts;
}

uid_t uid_of(const UserIdentity& identity) {
  unsigned long value = 0;
  const char* begin = identity.native.data();
  const char* end = begin + identity.native.size();
  auto [next, error] = std::from_chars(begin, end, value);
  require(!identity.native.empty() && error == std::errc() && next == end && value <= 0xFFFFFFFEul, "permissions",
          "Cannot read the current Windows user identity");
  return static_cast<uid_t>(value);
}

[[noreturn]] void refuse_not_ordinary() { throw Error("unsafe_path", not_ordinary); }

int open_directory_at(int parent, const char* name) {
  return ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Opens one component below `parent`. A missing component leaves errno == ENOENT and an invalid
// result; a link or an object of the wrong kind is refused.
unique_fd open_component(int parent, const std::string& name, bool directory) {
  if (directory) {
    unique_fd fd(open_directory_at(parent, name.c_str()));
    if (!fd && (errno == ELOOP || errno == ENOTDIR)) refuse_not_ordinary();
    return fd;
  }
  // Inspect first so a device or FIFO is never opened.
  struct stat st {};
  if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return unique_fd();
  if (!S_ISREG(st.st_mode)) refuse_not_ordinary();
  unique_fd fd(::openat(parent, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd && errno == ELOOP) refuse_not_ordinary();
  return fd;
}

// POSIX ACL extended attribute: a little-endian version word (2), then entries of
// {u16 tag, u16 permissions, u32 id}.
enum AclTag : std::uint16_t {
  acl_user_obj = 0x01,
  acl_user = 0x02,
  acl_group_obj = 0x04,
  acl_group = 0x08,
  acl_mask = 0x10,
  acl_other = 0x20,
};

struct AclSummary {
  bool present = false;
  bool extended = false;  // has named entries or a mask: the mode's group bits are then the mask
  unsigned user_obj = 7;
  unsigned group_obj = 0;
  unsigned other = 0;
};

std::uint32_t little_endian(const unsigned char* bytes, int count) {
  std::uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

AclSummary read_acl(int fd, const char* attribute, uid_t owner) {
  constexpr const char* cannot_inspect = "Cannot inspect Windows directory permissions";
  AclSummary summary;
  ssize_t size = ::fgetxattr(fd, attribute, nullptr, 0);
  if (size < 0) {
    require(errno == ENODATA || errno == ENOTSUP, "permissions", cannot_inspect);
    return summary;
  }
  require(static_cast<std::size_t>(size) <= max_acl_bytes, "permissions", cannot_inspect);
  std::vector<unsigned char> buffer(static_cast<std::size_t>(size) + 1);
  size = ::fgetxattr(fd, attribute, buffer.data(), buffer.size());
  if (size < 0 && errno == ENODATA) return summary;
  require(size >= 4 && (static_cast<std::size_t>(size) - 4) % 8 == 0 && little_endian(buffer.data(), 4) == 2,
          "permissions", cannot_inspect);
  const std::size_t entries = (static_cast<std::size_t>(size) - 4) / 8;
  require(entries >= 1 && entries <= max_acl_entries, "permissions", "Windows directory permissions are not private");
  summary.present = true;
  for (std::size_t i = 0; i < entries; ++i) {
    const unsigned char* entry = buffer.data() + 4 + 8 * i;
    const auto tag = static_cast<std::uint16_t>(little_endian(entry, 2));
    const unsigned permissions = little_endian(entry + 2, 2) & 7u;
    const std::uint32_t id = little_endian(entry + 4, 4);
    switch (tag) {
      case acl_user_obj: summary.user_obj = permissions; break;
      case acl_group_obj: summary.group_obj = permissions; break;
      case acl_other: summary.other = permissions; break;
      case acl_mask: summary.extended = true; break;
      case acl_user:
        summary.extended = true;
        // The superuser plays the local system account.
        if (id != owner && id != 0)
          throw Error("permissions", "Windows storage grants access to another identity (uid:" + std::to_string(id) + ")");
        break;
      case acl_group:
        throw Error("permissions", "Windows storage grants access to another identity (gid:" + std::to_string(id) + ")");
      default:
        throw Error("permissions", "Windows directory permissions contain unsupported access rules");
    }
  }
  return summary;
}

// Nothing is inherited from the parent: a new object drops any ACL its parent's default handed it.
void drop_inherited_acls(int fd, bool directory) {
  ::fremovexattr(fd, "system.posix_acl_access");
  if (directory) ::fremovexattr(fd, "system.posix_acl_default");
}

// Removes the file this call created at `name`, provided the name still holds it, and closes it.
void remove_created(int directory, const std::string& name, unique_fd& file) noexcept {
  struct stat own {}, named {};
  const bool same = ::fstat(file.get(), &own) == 0 &&
                    ::fstatat(directory, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                    own.st_dev == named.st_dev && own.st_ino == named.st_ino;
  file.reset();
  if (same) ::unlinkat(directory, name.c_str(), 0);
}

OpenedFile open_private_in(int directory, const std::string& name, FileAccess access, Disposition disposition,
                           unsigned flags, const UserIdentity& identity) {
  require(disposition != Disposition::create_always && disposition != Disposition::truncate_existing, "unsafe_path",
          "Private file opening must not truncate existing content");
  int base = O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
  base |= access == FileAccess::read ? O_RDONLY : access == FileAccess::write ? O_WRONLY : O_RDWR;
  const mode_t mode = (flags & file_flag_executable) ? 0700 : 0600;
  OpenedFile result;
  bool created = false;
  if (disposition == Disposition::open_existing) {
    result.file.reset(::openat(directory, name.c_str(), base));
  } else {
    result.file.reset(::openat(directory, name.c_str(), base | O_CREAT | O_EXCL, mode));
    created = result.file.valid();
    if (!created && errno == EEXIST && disposition == Disposition::open_always)
      result.file.reset(::openat(directory, name.c_str(), base));
  }
  if (!result.file) {
    result.error = errno;
    return result;
  }
  if (created) {
    drop_inherited_acls(result.file.get(), false);
    // fchmod, not the creation mode, so the umask cannot change it.
    if (::fchmod(result.file.get(), mode) != 0) {
      result.error = errno;
      remove_created(directory, name, result.file);
      return result;
    }
  }
  try {
    require(!created || fault_check("private file check") == 0, "permissions",
            "Windows directory permissions are not private");
    verify_private_object(result.file, false, identity);
  } catch (...) {
    // A file that this call created and then refused does not stay behind.
    if (created) remove_created(directory, name, result.file);
    throw;
  }
  const int status = ::fcntl(result.file.get(), F_GETFL);
  if (status >= 0) ::fcntl(result.file.get(), F_SETFL, status & ~O_NONBLOCK);
  return result;
}

// Mount points in /proc/self/mountinfo escape blanks, tabs, newlines and backslashes as \ooo.
std::string unescape_mount_field(std::string_view text) {
  const auto octal = [&](std::size_t k) { return k < text.size() && text[k] >= '0' && text[k] <= '7'; };
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      out.push_back(static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::string read_mountinfo() {
  constexpr const char* unresolved = "Cannot resolve a bounded local Windows directory identity";
  unique_fd fd(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
  require(fd.valid(), "unsafe_path", unresolved);
  std::string text;
  char chunk[65536];
  for (;;) {
    const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    require(got >= 0, "unsafe_path", unresolved);
    if (got == 0) break;
    require(text.size() + static_cast<std::size_t>(got) <= max_mountinfo_bytes, "unsafe_path", unresolved);
    text.append(chunk, static_cast<std::size_t>(got));
  }
  return text;
}

bool is_path_prefix(const std::string& prefix, const std::string& path) {
  if (prefix == "/") return true;
  return path.size() >= prefix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
         (path.size() == prefix.size() || path[prefix.size()] == '/');
}

// The path of `visible` (a real absolute path) inside its file system: its mount's root plus the
// part below the mount point. The mount is found by id; without one the longest mount point wins,
// the later one among equals since it covers the earlier.
std::string path_inside_file_system(const std::string& visible, std::optional<std::uint64_t> mount) {
  const std::string text = read_mountinfo();
  std::string best_point;
  std::string best_root;
  bool found = false;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    // mount id, parent id, major:minor, root, mount point, ...
    std::string_view fields[5];
    std::size_t position = 0;
    bool complete = true;
    for (auto& field : fields) {
      const std::size_t blank = line.find(' ', position);
      if (blank == std::string_view::npos) {
        complete = false;
        break;
      }
      field = line.substr(position, blank - position);
      position = blank + 1;
    }
    if (!complete) continue;
    const std::string point = unescape_mount_field(fields[4]);
    if (!is_path_prefix(point, visible)) continue;
    if (mount && fields[0] != std::to_string(*mount)) continue;
    if (!found || point.size() >= best_point.size()) {
      best_point = point;
      best_root = unescape_mount_field(fields[3]);
      found = true;
    }
  }
  require(found, "unsafe_path", "Cannot resolve a bounded local Windows directory identity");
  std::string below = best_point == "/" ? visible : visible.substr(best_point.size());
  std::string inside = best_root == "/" ? below : best_root + below;
  if (inside.empty()) inside = "/";
  return inside;
}

}  // namespace

UserIdentity current_user_identity() { return UserIdentity{std::to_string(::geteuid())}; }

std::size_t check_path_components(const fs::path& path) {
  constexpr const char* unsafe = "Windows storage path contains an unsafe component";
  std::size_t count = 0;
  for (const auto& part : path.relative_path()) {
    const std::string& name = part.native();
    if (name.empty() || name == ".") continue;
    ++count;
    require(name != ".." && utf16_units(name) <= max_component_units && count <= max_components && name.back() != '.' &&
                name.back() != ' ' && name.find_first_of("<>:\"/\\|?*") == std::string::npos,
            "unsafe_path", unsafe);
    for (unsigned char c : name) require(c >= 0x20, "unsafe_path", "Windows storage path contains a control character");
    std::string stem = name.substr(0, name.find('.'));
    for (char& c : stem)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    bool reserved = stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL";
    const std::string_view prefix = std::string_view(stem).substr(0, 3);
    if (prefix == "COM" || prefix == "LPT") {
      const std::string_view rest = std::string_view(stem).substr(3);
      reserved = reserved || (rest.size() == 1 && rest[0] >= '1' && rest[0] <= '9') || rest == "\xC2\xB9" ||
                 rest == "\xC2\xB2" || rest == "\xC2\xB3";
    }
    require(!reserved, "unsafe_path", "Windows storage path contains a reserved device name");
  }
  return count;
}

fs::path normalize_private_path(const fs::path& path, bool root_allowed) {
  const std::string& text = path.native();
  const std::size_t units = utf16_units(text);
  require(units >= 1 && units <= max_path_units && text.find('\0') == std::string::npos, "unsafe_path",
          "Windows storage path is empty, oversized or contains an unsafe root");
  const auto separator = [](char c) { return c == '/' || c == '\\'; };
  require(!(text.size() >= 2 && separator(text[0]) && separator(text[1])), "unsafe_path",
          "Windows private storage cannot be a network or device path");
  check_path_components(path);
  fs::path absolute = path;
  if (!absolute.is_absolute()) {
    std::error_code error;
    const fs::path current = fs::current_path(error);
    require(!error && current.is_absolute(), "unsafe_path", "Windows private storage needs a local drive-qualified path");
    absolute = current / path;
  }
  require(absolute.has_root_directory(), "unsafe_path", "Windows private storage needs a local drive-qualified path");
  const std::size_t count = check_path_components(absolute);
  fs::path normalized = absolute.lexically_normal();
  if (!normalized.has_filename() && normalized != normalized.root_path()) normalized = normalized.parent_path();
  require(!(count == 0 && !root_allowed) && utf16_units(normalized.native()) <= max_path_units, "unsafe_path",
          "A drive root cannot be a private Tovra directory");
  return normalized;
}

void require_private_volume(const fs::path& normalized) {
  // The deepest existing directory decides; a component that cannot be opened ends the walk,
  // and the chain that follows reports it.
  unique_fd current(::open("/", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  require(current.valid(), "unsafe_path", "Windows private storage requires a local filesystem");
  for (const auto& name : components_of(normalized)) {
    unique_fd next(open_directory_at(current.get(), name.c_str()));
    if (!next) break;
    current = std::move(next);
  }
  struct statfs info {};
  require(::fstatfs(current.get(), &info) == 0, "permissions",
          "Windows private storage requires a filesystem with persistent ACLs");
  const auto type = static_cast<std::uint32_t>(info.f_type);
  switch (type) {
    case 0x6969u:      // NFS
    case 0x517Bu:      // SMB
    case 0xFE534D42u:  // SMB2
    case 0xFF534D42u:  // CIFS
    case 0x01021997u:  // 9P
    case 0x5346414Fu:  // AFS
    case 0x6B414653u:  // kAFS
    case 0x00C36400u:  // Ceph
    case 0x65735546u:  // FUSE
    case 0x73757245u:  // Coda
    case 0x564Cu:      // NCP
    case 0x0BD00BD0u:  // Lustre
      throw Error("unsafe_path", "Windows private storage requires a local filesystem");
    case 0x4D44u:      // FAT (msdos, vfat)
    case 0x2011BAB0u:  // exFAT
    case 0x9660u:      // ISO 9660
    case 0x15013346u:  // UDF
      throw Error("permissions", "Windows private storage requires a filesystem with persistent ACLs");
    default:
      break;
  }
}

void require_local_storage(const fs::path& path) { require_private_volume(normalize_private_path(path, false)); }

void require_ordinary_object(const unique_fd& handle, bool expect_directory) {
  struct stat st {};
  require(handle.valid() && ::fstat(handle.get(), &st) == 0, "unsafe_path", not_ordinary);
  const bool ordinary = expect_directory ? S_ISDIR(st.st_mode) : (S_ISREG(st.st_mode) && st.st_nlink == 1);
  require(ordinary, "unsafe_path", not_ordinary);
}

void verify_private_object(const unique_fd& handle, bool is_directory, const UserIdentity& identity) {
  require_ordinary_object(handle, is_directory);
  const uid_t owner = uid_of(identity);
  struct stat st {};
  require(::fstat(handle.get(), &st) == 0 && st.st_uid == owner, "permissions",
          "Private Windows storage must belong to the current user");
  const AclSummary access = read_acl(handle.get(), "system.posix_acl_access", owner);
  AclSummary inherited;
  if (is_directory) inherited = read_acl(handle.get(), "system.posix_acl_default", owner);
  // With an extended ACL the mode's group bits show the mask; the owning group's own entry counts.
  const unsigned group = access.present && access.extended ? access.group_obj : (st.st_mode >> 3) & 7u;
  const unsigned other = st.st_mode & 7u;
  require(group == 0 && other == 0 && (!inherited.present || (inherited.group_obj == 0 && inherited.other == 0)),
          "permissions", "Windows directory permissions are not private");
  const unsigned needed = is_directory ? 7u : 6u;
  require(((st.st_mode >> 6) & needed) == needed && (!inherited.present || inherited.user_obj == 7u), "permissions",
          "Private Windows storage must retain current-user access and private inheritance");
}

void verify_private_handle(const unique_fd& handle, bool is_directory) {
  verify_private_object(handle, is_directory, current_user_identity());
}

namespace {

// One step of a chain walk: opens `name` below `parent`, creating a missing directory privately
// when allowed (counted in `created`).
unique_fd open_chain_step(int parent, const std::string& name, bool directory, bool create, int& created,
                          const UserIdentity& identity) {
  unique_fd handle = open_component(parent, name, directory);
  if (handle) {
    require_ordinary_object(handle, directory);
    return handle;
  }
  require(errno == ENOENT && create, "unsafe_path", "Cannot open the Windows storage directory");
  ++created;
  require(created <= max_created_directories, "size_limit", "Windows storage creation exceeds its parent limit");
  bool made = true;
  if (::mkdirat(parent, name.c_str(), 0700) != 0) {
    // Another process was faster; its directory is verified like any other.
    require(errno == EEXIST, "permissions", "Cannot create a private Windows directory");
    made = false;
  }
  handle.reset(open_directory_at(parent, name.c_str()));
  require(handle.valid(), "unsafe_path", "Cannot inspect the new Windows directory");
  if (made) {
    drop_inherited_acls(handle.get(), true);
    require(::fchmod(handle.get(), 0700) == 0, "permissions", "Cannot create a private Windows directory");
  }
  verify_private_object(handle, true, identity);
  // The new entry is durable only once its parent is flushed.
  if (made) {
    int error = fault_check("new directory flush");
    if (error == 0 && ::fsync(parent) != 0) error = errno;
    require(error == 0, "file_sync",
            "This filesystem cannot synchronize the native directory (" + std::to_string(error) + ")");
  }
  return handle;
}

}  // namespace

DirectoryChain open_directory_chain(const fs::path& path, bool target_is_directory, bool create_missing,
                                    const UserIdentity& identity, bool verify_target) {
  const fs::path normalized = normalize_private_path(path, !verify_target);
  require_private_volume(normalized);
  DirectoryChain chain;
  chain.set_path(normalized);
  unique_fd root(::open("/", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  require(root.valid(), "unsafe_path", "Cannot inspect the Windows drive root");
  require_ordinary_object(root, true);
  chain.push(std::move(root));
  const std::vector<std::string> names = components_of(normalized);
  if (names.empty() && !target_is_directory) refuse_not_ordinary();
  int created = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const bool last = i + 1 == names.size();
    const bool directory = !last || target_is_directory;
    const int parent = chain.target().get();
    unique_fd handle = open_chain_step(parent, names[i], directory, target_is_directory && create_missing, created,
                                       identity);
    if (verify_target && last) verify_private_object(handle, directory, identity);
    chain.push(std::move(handle));
  }
  return chain;
}

void extend_directory_chain(DirectoryChain& chain, const fs::path& name, const UserIdentity& identity) {
  require(!chain.empty(), "unsafe_path", "Cannot open the Windows storage directory");
  require(check_path_components(name) == 1 && name.native().find('/') == std::string::npos && name != ".",
          "unsafe_path", "Windows storage path contains an unsafe component");
  int created = 0;
  unique_fd handle = open_chain_step(chain.target().get(), name.native(), true, true, created, identity);
  if (created == 0) verify_private_object(handle, true, identity);
  chain.extend(name, std::move(handle));
}

void ensure_private_directory(const fs::path& path) {
  open_directory_chain(path, true, true, current_user_identity(), true);
}

void with_directory_chain(const fs::path& directory, const std::function<void(const DirectoryChain&)>& action) {
  const DirectoryChain chain = open_directory_chain(directory, true, false, current_user_identity(), false);
  action(chain);
}

OpenedFile open_private_file(const fs::path& path, FileAccess access, unsigned /*share*/, Disposition disposition,
                             unsigned flags, bool verify_parent) {
  require(disposition != Disposition::create_always && disposition != Disposition::truncate_existing, "unsafe_path",
          "Private file opening must not truncate existing content");
  const fs::path normalized = normalize_private_path(path, false);
  const UserIdentity identity = current_user_identity();
  const DirectoryChain parent = open_directory_chain(normalized.parent_path(), true, false, identity, verify_parent);
  return open_private_in(parent.target().get(), normalized.filename().native(), access, disposition, flags, identity);
}

OpenedFile open_private_file_at(const DirectoryChain& parent, std::string_view name, FileAccess access,
                                Disposition disposition, unsigned flags, unsigned /*share*/) {
  require(!parent.empty(), "unsafe_path", "Cannot open the Windows storage directory");
  require(check_path_components(fs::path(name)) == 1 && name.find('/') == std::string_view::npos && name != ".",
          "unsafe_path", "Windows storage path contains an unsafe component");
  return open_private_in(parent.target().get(), std::string(name), access, disposition, flags, current_user_identity());
}

OpenedFile open_owned_file(const fs::path& path, FileAccess access, unsigned /*share*/, Disposition disposition,
                           unsigned flags) {
  fs::path absolute = path;
  if (!absolute.is_absolute()) {
    std::error_code error;
    absolute = fs::current_path(error) / path;
  }
  absolute = absolute.lexically_normal();
  int open_flags = O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;
  open_flags |= access == FileAccess::read ? O_RDONLY : access == FileAccess::write ? O_WRONLY : O_RDWR;
  switch (disposition) {
    case Disposition::create_new: open_flags |= O_CREAT | O_EXCL; break;
    case Disposition::open_always: open_flags |= O_CREAT; break;
    case Disposition::create_always: open_flags |= O_CREAT | O_TRUNC; break;
    case Disposition::truncate_existing: open_flags |= O_TRUNC; break;
    case Disposition::open_existing: break;
  }
  // The parent's default permissions apply (umask or default ACL), as on Windows.
  const mode_t mode = (flags & file_flag_executable) ? 0777 : 0666;
  OpenedFile result;
  result.file.reset(::open(absolute.c_str(), open_flags, mode));
  if (!result.file) result.error = errno;
  return result;
}

std::string destination_identity(const fs::path& path, bool require_directories) {
  const fs::path normalized = normalize_private_path(path, true);
  require_private_volume(normalized);
  unique_fd current(::open("/", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  require(current.valid(), "unsafe_path", "Cannot inspect Windows destination ancestry");
  require_ordinary_object(current, true);
  const std::vector<std::string> names = components_of(normalized);
  std::string visible = "/";
  std::size_t existing = 0;
  for (; existing < names.size(); ++existing) {
    const std::string& name = names[existing];
    const bool last = existing + 1 == names.size();
    struct stat st {};
    if (::fstatat(current.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      require(errno == ENOENT, "unsafe_path", "Cannot inspect Windows destination component");
      break;
    }
    if (S_ISLNK(st.st_mode)) refuse_not_ordinary();
    const bool directory = S_ISDIR(st.st_mode);
    require(directory || (last && !require_directories && S_ISREG(st.st_mode)), "unsafe_path",
            "Windows path ancestry requires ordinary directories");
    unique_fd next = open_component(current.get(), name, directory);
    if (!next) {
      require(errno == ENOENT, "unsafe_path", "Cannot inspect Windows destination component");
      break;
    }
    require_ordinary_object(next, directory);
    current = std::move(next);
    visible += (visible.size() > 1 ? "/" : "") + name;
  }
  struct stat st {};
  require(::fstat(current.get(), &st) == 0, "unsafe_path", "Cannot inspect Windows path component");
  std::string identity = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
  const std::string inside = path_inside_file_system(visible, posix::mount_id(current.get()));
  if (inside != "/") identity += inside;
  for (std::size_t i = existing; i < names.size(); ++i) identity += "/" + names[i];
  const std::size_t units = utf16_units(identity);
  require(units >= 1 && units <= max_identity_units, "size_limit", "Windows destination identity exceeds its bound");
  return identity;
}

std::string generic_identity(std::string_view identity) { return std::string(identity); }

}  // namespace tovra::windows_security
