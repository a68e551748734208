#include "platform/durable.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "core/digest.h"
#include "core/error.h"
#include "core/paths.h"
#include "platform/fault_injection.h"
#include "platform/storage.h"
#include "platform/unique_fd.h"
#include "platform/posix/durable_at.h"
#include "platform/posix/mount_id.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
using windows_security::DirectoryChain;

constexpr std::uint64_t max_single_write = 4294967295ull;
constexpr int max_commit_retries = 30;
constexpr int max_tree_depth = 256;

std::string with_error(std::string_view message, int error) {
  return std::string(message) + " (" + std::to_string(error) + ")";
}

// Another program holds the object, or its permissions stop us for now.
bool busy_error(int error) { return error == EBUSY || error == ETXTBSY || error == EACCES || error == EPERM; }

// Commits the transaction file. Without replacement the rename must not overwrite; file systems
// that refuse RENAME_NOREPLACE get a hard link, which also fails on an existing name.
int commit_once(int directory, const std::string& from, const std::string& to, bool replace) {
  if (replace) return ::renameat(directory, from.c_str(), directory, to.c_str()) == 0 ? 0 : errno;
  if (::renameat2(directory, from.c_str(), directory, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL) return errno;
  if (::linkat(directory, from.c_str(), directory, to.c_str(), 0) != 0) return errno;
  ::unlinkat(directory, from.c_str(), 0);
  return 0;
}

int write_all(int fd, std::string_view content) {
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t wrote = ::write(fd, content.data() + done, content.size() - done);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (wrote == 0) return EIO;
    done += static_cast<std::size_t>(wrote);
  }
  return 0;
}

// The transaction file is deleted on every failure after its creation.
class TransactionFile {
 public:
  TransactionFile(int directory, std::string name) : directory_(directory), name_(std::move(name)) {}
  ~TransactionFile() {
    if (!committed_) ::unlinkat(directory_, name_.c_str(), 0);
  }
  TransactionFile(const TransactionFile&) = delete;
  TransactionFile& operator=(const TransactionFile&) = delete;
  void committed() { committed_ = true; }

 private:
  int directory_;
  std::string name_;
  bool committed_ = false;
};

struct Listing {
  std::vector<std::string> names;
  int error = 0;       // opening the listing failed
  int end_error = 0;   // the listing stopped with an error
};

Listing list_directory(int directory) {
  Listing listing;
  unique_fd copy(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!copy) {
    listing.error = errno;
    return listing;
  }
  DIR* stream = ::fdopendir(copy.get());
  if (stream == nullptr) {
    listing.error = errno;
    return listing;
  }
  copy.release();
  std::unique_ptr<DIR, int (*)(DIR*)> owner(stream, &::closedir);
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream);
    if (entry == nullptr) {
      listing.end_error = errno;
      break;
    }
    const std::string name = entry->d_name;
    if (name != "." && name != "..") listing.names.push_back(name);
  }
  return listing;
}

[[noreturn]] void refuse_link_in_tree() { throw Error("unsafe_path", "Tree cleanup preserves reparse points"); }

// Opens a directory of a tree without following a link or entering a mounted folder. In the
// removal pass a directory that its owner cannot list, enter or change is given 0700 first,
// through the descriptor of the very inode that was checked; the inspection pass changes nothing.
unique_fd open_tree_directory(int parent, const std::string& name, bool removal) {
  unique_fd pinned(::openat(parent, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!pinned) {
    if (errno == ELOOP) refuse_link_in_tree();
    throw Error("file_remove", with_error("Cannot list a directory for cleanup", errno));
  }
  struct stat st {};
  if (::fstat(pinned.get(), &st) != 0)
    throw Error("file_remove", with_error("Cannot list a directory for cleanup", errno));
  if (S_ISLNK(st.st_mode)) refuse_link_in_tree();
  require(S_ISDIR(st.st_mode), "unsafe_path", "Tree cleanup requires an ordinary directory and preserves reparse points");
  if (posix::is_mount_point(parent, name.c_str())) refuse_link_in_tree();
  if (removal && (st.st_mode & S_IRWXU) != S_IRWXU) {
    const std::string self = "/proc/self/fd/" + std::to_string(pinned.get());
    if (::chmod(self.c_str(), S_IRWXU) != 0)
      throw Error("file_remove", with_error("Cannot list a directory for cleanup", errno));
  }
  unique_fd directory(::openat(pinned.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory) throw Error("file_remove", with_error("Cannot list a directory for cleanup", errno));
  return directory;
}

void walk_tree(int directory, bool removal, int depth) {
  require(depth <= max_tree_depth, "size_limit", "Tree cleanup exceeds its depth bound");
  const Listing listing = list_directory(directory);
  if (listing.error != 0) throw Error("file_remove", with_error("Cannot list a directory for cleanup", listing.error));
  if (listing.end_error != 0)
    throw Error("file_remove", with_error("Cannot finish listing a directory for cleanup", listing.end_error));
  for (const std::string& name : listing.names) {
    struct stat st {};
    if (::fstatat(directory, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      throw Error("file_remove", with_error("Cannot list a directory for cleanup", errno));
    }
    if (S_ISLNK(st.st_mode)) refuse_link_in_tree();
    if (S_ISDIR(st.st_mode)) {
      const unique_fd child = open_tree_directory(directory, name, removal);
      walk_tree(child.get(), removal, depth + 1);
      if (const int injected = removal ? fault_point("remove_tree directory") : 0)
        throw Error("file_remove", with_error("Cannot remove a directory during cleanup", injected));
      if (removal && ::unlinkat(directory, name.c_str(), AT_REMOVEDIR) != 0)
        throw Error("file_remove", with_error("Cannot remove a directory during cleanup", errno));
    } else if (removal && ::unlinkat(directory, name.c_str(), 0) != 0 && errno != ENOENT) {
      throw Error("file_remove", with_error("Cannot remove a file during cleanup", errno));
    }
  }
}

void sync_descriptor(int directory) {
  if (::fsync(directory) != 0)
    throw Error("file_sync", with_error("This filesystem cannot synchronize the native directory", errno));
}

// Opens the parent of `path` from "/" without following a link; an invalid result with errno set
// when a component cannot be opened.
unique_fd open_parent_nofollow(const fs::path& absolute) {
  unique_fd current(::open("/", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!current) return current;
  for (const auto& part : absolute.parent_path().relative_path()) {
    if (part.empty() || part == ".") continue;
    unique_fd next(::openat(current.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next) {
      // A link refused by O_DIRECTORY reads as ENOTDIR; it is a link all the same.
      const int error = errno;
      struct stat st {};
      const bool link = ::fstatat(current.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
      errno = link ? ELOOP : error;
      return next;
    }
    current = std::move(next);
  }
  return current;
}

fs::path lexical_absolute(const fs::path& path) {
  fs::path absolute = path;
  if (!absolute.is_absolute()) {
    std::error_code error;
    absolute = fs::current_path(error) / path;
  }
  absolute = absolute.lexically_normal();
  if (!absolute.has_filename() && absolute != absolute.root_path()) absolute = absolute.parent_path();
  return absolute;
}

}  // namespace

[[noreturn]] void raise_file_write_error(int error, std::string_view message) {
  if (error == ENOSPC || error == EDQUOT)
    throw Error("insufficient_space", "Local storage cannot save data; free space and try again");
  throw Error("file_write", with_error(message, error));
}

fs::path native_long_path(const fs::path& path) { return lexical_absolute(path); }

namespace {

// Mode of an owned file: what its folder grants each class, as a file inherits its folder's
// permissions on Windows (the umask still applies).
mode_t owned_file_mode(int parent) {
  struct stat folder {};
  if (::fstat(parent, &folder) != 0) return 0600;
  mode_t mode = 0600;
  if ((folder.st_mode & S_IRWXG) != 0) mode |= 0060;
  if ((folder.st_mode & S_IRWXO) != 0) mode |= 0006;
  return mode;
}

// Writes `content` under `target`'s name in the held folder `parent`: private when `chain` (the
// held private parent) is given, owned otherwise.
void export_into(int parent, const DirectoryChain* chain, const fs::path& target, std::string_view content,
                 bool replace_existing, bool synchronize) {
  const std::string name = target.filename().native();
  struct stat st {};
  require(!(::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)), "unsafe_path",
          "Refusing to replace a symbolic link");
  const std::string transaction = name + "." + random_identifier() + ".tmp";
  const fs::path transaction_path = target.parent_path() / transaction;
  require(content.size() <= max_single_write, "size_limit", "Transaction file exceeds the native write bound");

  windows_security::OpenedFile file;
  if (chain != nullptr) {
    file = windows_security::open_private_file_at(*chain, transaction, windows_security::FileAccess::write,
                                                  windows_security::Disposition::create_new,
                                                  windows_security::file_flag_none);
  } else {
    file.file.reset(::openat(parent, transaction.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                             owned_file_mode(parent)));
    if (!file.file) file.error = errno;
  }
  if (!file.file) raise_file_write_error(file.error, "Cannot create transaction file " + utf8_path(transaction_path));
  TransactionFile guard(parent, transaction);

  int error = write_all(file.file.get(), content);
  if (error == 0 && synchronize && ::fsync(file.file.get()) != 0) error = errno;
  if (::close(file.file.release()) != 0 && error == 0) error = errno;
  if (error != 0) raise_file_write_error(error, "Cannot write or synchronize transaction file");

  if (const int injected = fault_point("export_file commit"))
    raise_file_write_error(injected, "Cannot commit transaction file " + utf8_path(target));
  for (int attempt = 0;; ++attempt) {
    error = commit_once(parent, transaction, name, replace_existing);
    if (error == 0) break;
    if (!busy_error(error) || attempt >= max_commit_retries)
      raise_file_write_error(error, "Cannot commit transaction file " + utf8_path(target));
    std::this_thread::sleep_for(std::chrono::milliseconds(10 + 3 * attempt));
  }
  guard.committed();
  // On POSIX a rename is durable once its directory is flushed.
  if (synchronize && ::fsync(parent) != 0)
    raise_file_write_error(errno, "Cannot commit transaction file " + utf8_path(target));
}

}  // namespace

void export_file(const fs::path& destination, std::string_view content, bool replace_existing, bool private_storage,
                 bool synchronize) {
  if (const int injected = fault_point("export_file"))
    raise_file_write_error(injected, "Cannot write or synchronize transaction file");
  if (private_storage) {
    const fs::path target = windows_security::normalize_private_path(destination, false);
    const DirectoryChain chain = windows_security::open_directory_chain(
        target.parent_path(), true, true, windows_security::current_user_identity(), true);
    export_into(chain.target().get(), &chain, target, content, replace_existing, synchronize);
    return;
  }
  const fs::path target = native_long_path(destination);
  // Links above the parent are followed, the parent itself must be a plain directory.
  const unique_fd parent(::open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  require(parent.valid() && target.has_filename(), "unsafe_path", "Export parent must be an existing plain directory");
  export_into(parent.get(), nullptr, target, content, replace_existing, synchronize);
}

void create_owned_file_at(int parent, const fs::path& destination, std::string_view content) {
  if (const int injected = fault_point("export_file"))
    raise_file_write_error(injected, "Cannot write or synchronize transaction file");
  require(destination.has_filename(), "unsafe_path", "Export parent must be an existing plain directory");
  export_into(parent, nullptr, destination, content, false, true);
}

void write_private_file(const fs::path& destination, std::string_view content) {
  export_file(destination, content, true, true, true);
}

void create_owned_file(const fs::path& destination, std::string_view content) {
  export_file(destination, content, false, false, true);
}

void sync_directory(const fs::path& directory) {
  if (const int injected = fault_point("sync_directory"))
    throw Error("file_sync", with_error("This filesystem cannot synchronize the native directory", injected));
  windows_security::with_directory_chain(directory, [](const DirectoryChain& chain) {
    struct stat st {};
    require(::fstat(chain.target().get(), &st) == 0 && S_ISDIR(st.st_mode), "file_sync",
            "Cannot open ordinary directory for synchronization");
    sync_descriptor(chain.target().get());
  });
}

void remove_tree(const fs::path& root) {
  if (const int injected = fault_point("remove_tree"))
    throw Error("file_remove", with_error("Cannot inspect a tree for cleanup", injected));
  const fs::path absolute = native_long_path(root);
  require(absolute.has_filename(), "unsafe_path",
          "Tree cleanup requires an ordinary directory and preserves reparse points");
  const unique_fd parent = open_parent_nofollow(absolute);
  if (!parent) {
    if (errno == ENOENT) return;
    if (errno == ELOOP || errno == ENOTDIR)
      throw Error("unsafe_path", "Tree cleanup requires an ordinary directory and preserves reparse points");
    throw Error("file_remove", with_error("Cannot inspect a tree for cleanup", errno));
  }
  const std::string name = absolute.filename().native();
  struct stat st {};
  if (::fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return;
    throw Error("file_remove", with_error("Cannot inspect a tree for cleanup", errno));
  }
  require(S_ISDIR(st.st_mode), "unsafe_path", "Tree cleanup requires an ordinary directory and preserves reparse points");
  {
    // Inspection first: a link, a mounted folder or an over-deep tree is refused before anything
    // is deleted.
    const unique_fd inspected = open_tree_directory(parent.get(), name, false);
    walk_tree(inspected.get(), false, 0);
    const unique_fd top = open_tree_directory(parent.get(), name, true);
    struct stat seen {}, now {};
    if (::fstat(inspected.get(), &seen) != 0 || ::fstat(top.get(), &now) != 0 || seen.st_dev != now.st_dev ||
        seen.st_ino != now.st_ino)
      refuse_link_in_tree();
    walk_tree(top.get(), true, 0);
  }
  if (::unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR) != 0)
    throw Error("file_remove", with_error("Cannot remove a directory during cleanup", errno));
  sync_descriptor(parent.get());
}

namespace {

std::string cannot_remove(const fs::path& path) { return "Cannot remove " + utf8_path(path); }

// Removes `name` below the held `parent`, moving it into the quarantine folder when it is busy.
// `shown` is its path for messages.
bool remove_or_quarantine_at(int parent, const std::string& name, const fs::path& shown, const fs::path& quarantine) {
  if (fault_point("remove_or_quarantine") != 0) throw Error("file_remove", cannot_remove(shown));
  if (::unlinkat(parent, name.c_str(), 0) == 0 || errno == ENOENT) return true;
  const int error = errno;
  require(busy_error(error), "file_remove", cannot_remove(shown));
  const std::string refused = cannot_remove(shown) + "; close the program that uses it and try again";
  const std::string moved_name = native_path(random_identifier() + "-" + name).native();
  DirectoryChain folder;
  try {
    folder = windows_security::open_directory_chain(quarantine, true, true, windows_security::current_user_identity(),
                                                    true);
  } catch (const Error&) {
    throw Error("file_remove", refused);
  }
  const int target = folder.target().get();
  require(::renameat(parent, name.c_str(), target, moved_name.c_str()) == 0, "file_remove", refused);
  // Written through, as the move on Windows is.
  require(::fsync(target) == 0, "file_remove", refused);
  return false;
}

// Kind of `name` below `parent`, read without following it.
enum class EntryKind { missing, directory, other };

EntryKind entry_kind(int parent, const std::string& name, const fs::path& shown) {
  struct stat st {};
  if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    require(errno == ENOENT, "file_remove", cannot_remove(shown));
    return EntryKind::missing;
  }
  return S_ISDIR(st.st_mode) ? EntryKind::directory : EntryKind::other;
}

// Opens the directory `name` below `parent` for listing; a mounted folder cannot be removed and
// is never entered, so it is named in the problem.
unique_fd open_removed_directory(int parent, const std::string& name, const fs::path& shown) {
  unique_fd directory(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!directory && errno == ENOENT) return directory;
  require(directory.valid() && !posix::is_mount_point(parent, name.c_str()), "file_remove", cannot_remove(shown));
  return directory;
}

std::vector<std::string> names_in(int directory, const fs::path& shown) {
  Listing listing = list_directory(directory);
  require(listing.error == 0 && listing.end_error == 0, "file_remove", cannot_remove(shown));
  return std::move(listing.names);
}

// Changes nothing; refuses a tree that holds a mounted folder.
void inspect_entry(int parent, const std::string& name, const fs::path& shown) {
  if (entry_kind(parent, name, shown) != EntryKind::directory) return;
  const unique_fd directory = open_removed_directory(parent, name, shown);
  if (!directory) return;
  for (const std::string& below : names_in(directory.get(), shown))
    inspect_entry(directory.get(), below, shown / below);
}

void remove_entry_at(int parent, const std::string& name, const fs::path& shown, const fs::path& quarantine,
                     std::vector<fs::path>& moved) {
  const EntryKind kind = entry_kind(parent, name, shown);
  if (kind == EntryKind::missing) return;
  if (kind == EntryKind::other) {
    if (!remove_or_quarantine_at(parent, name, shown, quarantine)) moved.push_back(shown);
    return;
  }
  {
    const unique_fd directory = open_removed_directory(parent, name, shown);
    if (!directory) return;
    for (const std::string& below : names_in(directory.get(), shown))
      remove_entry_at(directory.get(), below, shown / below, quarantine, moved);
  }
  if (fault_point("remove_path_or_quarantine directory") != 0) throw Error("file_remove", cannot_remove(shown));
  if (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
    require(!moved.empty(), "file_remove", cannot_remove(shown));
}

// The folder holding `path`, opened from "/" without following a link; invalid with errno set
// when it cannot be reached.
unique_fd open_holder(const fs::path& absolute, const fs::path& shown) {
  require(absolute.has_filename(), "file_remove", cannot_remove(shown));
  return open_parent_nofollow(absolute);
}

}  // namespace

bool remove_or_quarantine(const fs::path& file, const fs::path& quarantine) {
  const fs::path absolute = lexical_absolute(file);
  const unique_fd parent = open_holder(absolute, file);
  if (!parent) {
    require(errno == ENOENT || errno == ENOTDIR, "file_remove", cannot_remove(file));
    return true;
  }
  return remove_or_quarantine_at(parent.get(), absolute.filename().native(), file, quarantine);
}

void inspect_removal(const fs::path& path) {
  const fs::path absolute = lexical_absolute(path);
  const unique_fd parent = open_holder(absolute, path);
  if (!parent) {
    require(errno == ENOENT || errno == ENOTDIR, "file_remove", cannot_remove(path));
    return;
  }
  inspect_entry(parent.get(), absolute.filename().native(), path);
}

void remove_path_or_quarantine(const fs::path& path, const fs::path& quarantine, std::vector<fs::path>& moved) {
  const fs::path absolute = lexical_absolute(path);
  const unique_fd parent = open_holder(absolute, path);
  if (!parent) {
    require(errno == ENOENT || errno == ENOTDIR, "file_remove", cannot_remove(path));
    return;
  }
  const std::string name = absolute.filename().native();
  // Nothing is removed from a tree that holds a folder no removal can take away.
  inspect_entry(parent.get(), name, path);
  remove_entry_at(parent.get(), name, path, quarantine, moved);
}

}  // namespace tovra
