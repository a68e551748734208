#include "platform/prepared_native.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "core/error.h"

namespace tovra::prepared_native {
namespace {

Facts facts_of(const struct stat& st) {
  Facts facts;
  facts.ordinary = S_ISREG(st.st_mode);
  facts.identity = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  facts.size = static_cast<std::uint64_t>(st.st_size);
  facts.owner_only = (st.st_mode & 07777) == 0600;
  return facts;
}

int result(bool ok) { return ok ? 0 : errno; }

}  // namespace

bool disk_full(int error) { return error == ENOSPC || error == EDQUOT; }
bool reservation_unsupported(int error) { return error == EOPNOTSUPP || error == ENOSYS; }

int create_new(const windows_security::DirectoryChain& parent, const std::filesystem::path& name, unique_fd& file) {
  file.reset(::openat(parent.target().get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  return result(file.valid());
}

bool handle_facts(const unique_fd& file, Facts& facts) {
  struct stat st {};
  if (::fstat(file.get(), &st) != 0) return false;
  facts = facts_of(st);
  // No link left means our name was replaced or removed: the path check reports that as a changed
  // allocation, as Windows does, where the replaced file keeps its link until closed.
  facts.ordinary = facts.ordinary && st.st_nlink <= 1;
  return true;
}

bool name_facts(const windows_security::DirectoryChain& parent, const std::filesystem::path& name, Facts& facts) {
  struct stat st {};
  if (::fstatat(parent.target().get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  facts = facts_of(st);
  return true;
}

int make_private(const unique_fd& file, bool executable) {
  return result(::fchmod(file.get(), executable ? 0700 : 0600) == 0);
}

int reserve(const unique_fd& file, std::uint64_t length) {
  return result(::fallocate(file.get(), 0, 0, static_cast<off_t>(length)) == 0);
}

int set_length(const unique_fd& file, std::uint64_t length) {
  return result(::ftruncate(file.get(), static_cast<off_t>(length)) == 0);
}

int write_at(const unique_fd& file, const char* data, std::size_t size, std::uint64_t offset, std::size_t& done) {
  for (;;) {
    const ssize_t count = ::pwrite(file.get(), data, size, static_cast<off_t>(offset));
    if (count < 0 && errno == EINTR) continue;
    done = count < 0 ? 0 : static_cast<std::size_t>(count);
    return result(count >= 0);
  }
}

int read_at(const unique_fd& file, char* data, std::size_t size, std::uint64_t offset, std::size_t& done) {
  for (;;) {
    const ssize_t count = ::pread(file.get(), data, size, static_cast<off_t>(offset));
    if (count < 0 && errno == EINTR) continue;
    done = count < 0 ? 0 : static_cast<std::size_t>(count);
    return result(count >= 0);
  }
}

int flush(const unique_fd& file) { return result(::fsync(file.get()) == 0); }

void remove(const windows_security::DirectoryChain& parent, const std::filesystem::path& name) noexcept {
  ::unlinkat(parent.target().get(), name.c_str(), 0);
}

}  // namespace tovra::prepared_native

namespace tovra {
namespace {

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
