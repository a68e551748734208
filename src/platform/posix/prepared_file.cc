#include "platform/prepared_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <string>

#include "core/error.h"
#include "platform/fault_injection.h"
#include "platform/read_file.h"
#include "platform/storage.h"
#include "platform/unique_fd.h"

namespace tovra {
namespace {

constexpr std::size_t kWritePiece = 65536;

[[noreturn]] void raise_errno(int error, std::string_view code, std::string_view message) {
  if (error == ENOSPC || error == EDQUOT)
    throw Error("insufficient_space", "Cannot allocate game storage; free space or choose another location");
  throw Error(std::string(code), std::string(message) + " (" + std::to_string(error) + ")");
}

// Walks from "/" without following any link; an empty result means some component failed.
unique_fd open_directory_nofollow(const std::filesystem::path& directory) {
  unique_fd current(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!current) return {};
  for (const auto& component : directory.relative_path()) {
    const std::string& name = component.native();
    if (name.empty() || name == ".") continue;
    if (name == "..") return {};
    unique_fd next(::openat(current.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next) return {};
    current = std::move(next);
  }
  return current;
}

}  // namespace

struct PreparedFile::State {
  std::filesystem::path path;
  std::string name;
  std::uint64_t length = 0;
  PreparedIdentity identity;
  bool allocated = false;
  std::uint64_t written = 0;
  bool created_new = false;
  bool identity_recorded = false;
  windows_security::DirectoryChain chain;  // the parent and its ancestry, held while we work
  int parent = -1;
  unique_fd file;

  // Handle checks; returns the current size.
  std::uint64_t identity_query() {
    struct stat st {};
    // No link left means our name was replaced or removed: the step's path check reports that as a
    // changed allocation, as Windows does, where the replaced file keeps its link until closed.
    require(file.valid() && ::fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink <= 1,
            "unsafe_path", "Allocation requires an ordinary single-link file");
    const PreparedIdentity now{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    if (identity_recorded) require(now == identity, "allocation_changed", "Prepared allocation identity changed");
    identity = now;
    identity_recorded = true;
    return static_cast<std::uint64_t>(st.st_size);
  }

  // The name in the pinned parent must still be the file we created.
  bool path_check() const noexcept {
    if (!identity_recorded || parent < 0) return false;
    struct stat st {};
    if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (!S_ISREG(st.st_mode)) return false;
    return static_cast<std::uint64_t>(st.st_dev) == identity.volume &&
           static_cast<std::uint64_t>(st.st_ino) == identity.index;
  }

  void require_steady(bool size_ok, std::string_view message) {
    const bool ok = size_ok && path_check();
    require(ok, "allocation_changed", message);
  }
};

PreparedFile::PreparedFile(std::unique_ptr<State> state) : state_(std::move(state)) {}

PreparedFile::~PreparedFile() {
  if (!state_) return;
  state_->file.reset();
  if (state_->created_new && state_->identity_recorded && state_->path_check())
    ::unlinkat(state_->parent, state_->name.c_str(), 0);
}

const std::filesystem::path& PreparedFile::path() const { return state_->path; }
std::uint64_t PreparedFile::written() const { return state_->written; }
bool PreparedFile::allocated() const { return state_->allocated; }

std::unique_ptr<PreparedFile> create_prepared_file(const std::filesystem::path& target,
                                                   std::uint64_t authenticated_length,
                                                   const PreparedFile::OwnershipCallback& ownership) {
  require(authenticated_length <= static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()), "size_limit",
          "File allocation exceeds native length bounds");
  auto state = std::make_unique<PreparedFile::State>();
  PreparedFile::State& s = *state;
  s.path = std::filesystem::absolute(target).lexically_normal();
  s.length = authenticated_length;
  s.name = s.path.filename().native();
  require(!s.name.empty() && s.name != "." && s.name != "..", "unsafe_path",
          "Allocation requires an ordinary parent directory");

  const auto parent_path = s.path.parent_path();
  require(path_kind(parent_path) == PathKind::directory, "unsafe_path",
          "Allocation requires an ordinary parent directory");
  s.chain = windows_security::open_directory_chain(parent_path, true, false,
                                                   windows_security::current_user_identity(), true);
  s.parent = s.chain.target().get();

  s.file.reset(::openat(s.parent, s.name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!s.file) raise_errno(errno, "unsafe_path", "Cannot exclusively create or reopen a prepared allocation");
  s.created_new = true;
  auto prepared = std::make_unique<PreparedFile>(std::move(state));
  PreparedFile::State& p = s;  // the state object itself does not move
  // Pinned first, so that release removes the file whichever later step fails.
  const std::uint64_t initial = p.identity_query();
  // The umask must not decide who can read it.
  if (const int injected = fault_check("prepared file permissions"))
    raise_errno(injected, "permissions", "Cannot apply private file permissions");
  if (::fchmod(p.file.get(), 0600) != 0) raise_errno(errno, "permissions", "Cannot apply private file permissions");

  require(initial == 0 && p.identity_query() == 0, "unsafe_path", "A new allocation must begin empty");
  require(p.path_check(), "allocation_changed", "New allocation path changed before recording ownership");
  if (ownership) {
    ownership(*prepared);
    p.require_steady(p.identity_query() == 0, "New allocation changed while recording ownership");
  }

  p.allocated = false;
  bool reserve = true;
  if (p.length > 0) {
    if (::fallocate(p.file.get(), 0, 0, static_cast<off_t>(p.length)) != 0) {
      const int error = errno;
      if (error == ENOSPC || error == EDQUOT)
        throw Error("insufficient_space", "Cannot reserve file data; free space or choose other game storage");
      if (error != EOPNOTSUPP && error != ENOSYS)
        throw Error("space_reservation", "Native file allocation failed (" + std::to_string(error) + ")");
      reserve = false;
    }
  }
  p.allocated = reserve;
  const std::uint64_t size = p.identity_query();
  p.require_steady(size == (p.allocated ? p.length : 0), "New allocation changed during preparation");
  return prepared;
}

void PreparedFile::write(std::string_view bytes) {
  State& s = *state_;
  require(s.file.valid(), "file_write", "Cannot write staged file data");
  require(s.length - s.written >= bytes.size(), "size_limit", "Write exceeds the authenticated file length");
  while (!bytes.empty()) {
    const std::size_t piece = bytes.size() < kWritePiece ? bytes.size() : kWritePiece;
    const ssize_t done = ::pwrite(s.file.get(), bytes.data(), piece, static_cast<off_t>(s.written));
    if (done < 0) {
      if (errno == EINTR) continue;
      raise_errno(errno, "file_write", "Cannot write staged file data");
    }
    require(done > 0, "file_write", "Cannot advance staged file data");
    s.written += static_cast<std::uint64_t>(done);
    bytes.remove_prefix(static_cast<std::size_t>(done));
  }
}

void PreparedFile::set_executable(bool executable) {
  State& s = *state_;
  s.require_steady(s.identity_query() <= s.length, "Allocated file changed before setting executable permissions");
  // Executables in private storage are 0700, everything else 0600.
  if (::fchmod(s.file.get(), executable ? 0700 : 0600) != 0)
    raise_errno(errno, "permissions", "Cannot apply private file permissions");
  s.require_steady(true, "Allocated file changed while setting executable permissions");
}

void PreparedFile::complete(bool require_full_length) {
  State& s = *state_;
  if (require_full_length)
    require(s.written == s.length, "length_mismatch", "File data is shorter than its authenticated length");
  std::uint64_t size = s.identity_query();
  s.require_steady(size >= s.written && size <= s.length, "Allocated file changed before completion");
  if (::ftruncate(s.file.get(), static_cast<off_t>(s.written)) != 0)
    raise_errno(errno, "file_write", "Cannot set allocated file length");
  s.require_steady(s.identity_query() == s.written, "Allocated file changed during writing");
  size = s.identity_query();
  s.require_steady(size >= s.written && size <= s.length, "Partial file changed before synchronization");
  require(fault_point("prepared file flush") == 0, "file_sync", "Cannot synchronize reserved file data");
  require(::fsync(s.file.get()) == 0, "file_sync", "Cannot synchronize reserved file data");
  s.created_new = false;
  s.file.reset();
}

namespace {

// Opens the directory's own entry without following it, so a link is seen rather than entered.
unique_fd open_entry_nofollow(const std::filesystem::path& absolute) {
  if (!absolute.has_relative_path()) return unique_fd(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  unique_fd parent = open_directory_nofollow(absolute.parent_path());
  if (!parent) return {};
  return unique_fd(::openat(parent.get(), absolute.filename().c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
}

}  // namespace

PreparedIdentity prepared_directory_identity(const std::filesystem::path& directory) {
  auto absolute = std::filesystem::absolute(directory).lexically_normal();
  if (absolute.has_relative_path() && absolute.filename().empty()) absolute = absolute.parent_path();
  unique_fd first = open_entry_nofollow(absolute);
  require(first.valid(), "unsafe_path", "Cannot inspect prepared directory identity");
  unique_fd second = open_entry_nofollow(absolute);
  struct stat a {}, b {};
  const bool same = second.valid() && ::fstat(first.get(), &a) == 0 && ::fstat(second.get(), &b) == 0 &&
                    S_ISDIR(a.st_mode) && S_ISDIR(b.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
  require(same, "unsafe_path", "Prepared directory is linked, replaced or unavailable");
  return {static_cast<std::uint64_t>(a.st_dev), static_cast<std::uint64_t>(a.st_ino)};
}

}  // namespace tovra
