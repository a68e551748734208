#include "platform/file_lock.h"

#include <cstring>
#include <string>

#include "core/error.h"
#include "core/paths.h"
#include "platform/storage.h"
#include "platform/win32/win32_support.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
namespace ws = windows_security;
using win32::handle_of;

constexpr std::size_t kMaxLockPathBytes = 4096;
constexpr std::size_t kMaxComponents = 128;

[[noreturn]] void fail(std::string_view message) { throw Error("lock_failed", std::string(message)); }

struct FullIdentity {
  std::uint64_t volume = 0;
  unsigned char id[16] = {};
  bool operator==(const FullIdentity& other) const {
    return volume == other.volume && std::memcmp(id, other.id, sizeof id) == 0;
  }
};

void require_bounded_path(const fs::path& path) {
  const std::string text = utf8_path(path);
  if (text.empty() || text.size() > kMaxLockPathBytes || text.find('\0') != std::string::npos)
    fail("Native ownership requires a bounded lock path and known sharing");
}

// Every ancestor must be an ordinary directory; they stay held while the file is opened.
ws::DirectoryChain open_parents(const fs::path& path) {
  const fs::path normal = win32::lexical_absolute(path);
  if (!normal.has_filename()) fail("Native ownership requires ordinary existing parents");
  std::size_t components = 0;
  for (const auto& part : normal.parent_path().relative_path())
    if (!part.empty()) ++components;
  if (components > kMaxComponents) fail("Native ownership requires ordinary existing parents");
  try {
    return ws::open_directory_chain(normal.parent_path(), true, false, ws::current_user_identity(), false);
  } catch (const Error&) {
    fail("Native ownership requires ordinary existing parents");
  }
}

FullIdentity checked_lock_file(const unique_fd& file) {
  constexpr const char* refused = "Native ownership requires an ordinary empty private file";
  try {
    ws::verify_private_handle(file, false);
  } catch (const Error&) {
    fail(refused);
  }
  win32::HandleFacts facts;
  FILE_ID_INFO id{};
  if (!win32::handle_facts(handle_of(file), facts) || (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      facts.links != 1 || facts.size != 0 ||
      ::GetFileInformationByHandleEx(handle_of(file), FileIdInfo, &id, sizeof id) == 0) {
    fail(refused);
  }
  FullIdentity identity;
  identity.volume = id.VolumeSerialNumber;
  std::memcpy(identity.id, id.FileId.Identifier, sizeof identity.id);
  return identity;
}

LockFileIdentity public_identity(const FullIdentity& full) {
  std::uint64_t index = 0;
  std::memcpy(&index, full.id, sizeof index);
  return {full.volume, index};
}

BOOL lock_first_byte(const unique_fd& file, DWORD flags) {
  OVERLAPPED at{};
  return ::LockFileEx(handle_of(file), flags, 0, 1, 0, &at);
}

}  // namespace

NativeFileLock NativeFileLock::acquire(const fs::path& path, bool create, bool share_delete, bool shared) {
  require_bounded_path(path);
  unique_fd file;
  {
    const ws::DirectoryChain parents = open_parents(path);
    unsigned share = ws::share_read | ws::share_write;
    if (share_delete) share |= ws::share_delete;
    try {
      ws::OpenedFile opened =
          ws::open_private_file(path, ws::FileAccess::read_write, share,
                                create ? ws::Disposition::open_always : ws::Disposition::open_existing,
                                ws::file_flag_none, false);
      if (!opened) fail("Cannot open ordinary private native ownership");
      file = std::move(opened.file);
    } catch (const Error&) {
      fail("Cannot open ordinary private native ownership");
    }
  }
  const FullIdentity identity = checked_lock_file(file);

  DWORD flags = LOCKFILE_FAIL_IMMEDIATELY;
  if (!shared) flags |= LOCKFILE_EXCLUSIVE_LOCK;
  if (lock_first_byte(file, flags) == 0) {
    if (::GetLastError() == ERROR_LOCK_VIOLATION) throw Error("busy", "Another worker owns this native installation");
    fail("Cannot acquire native installation ownership");
  }

  // The path may have been swapped between the open and the lock: it must still name this file.
  try {
    require_bounded_path(path);
    const ws::DirectoryChain parents = open_parents(path);
    const unique_fd probe = win32::owned_handle(::CreateFileW(
        win32::long_form(path).c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
        nullptr));
    if (!probe || !(checked_lock_file(probe) == identity)) fail("Native ownership path changed while locking");
  } catch (const Error&) {
    file.reset();
    throw Error("lock_failed", "Native ownership path changed while locking");
  }
  return NativeFileLock(std::move(file), public_identity(identity));
}

OperationLock operation_lock(const fs::path& path, bool wait, bool shared) {
  const fs::path normal = win32::lexical_absolute(path);
  ws::ensure_private_directory(normal.parent_path());
  ws::OpenedFile opened = ws::open_private_file(normal, ws::FileAccess::read_write, ws::share_read | ws::share_write,
                                                ws::Disposition::open_always, ws::file_flag_none, false);
  if (!opened) fail("Cannot open operation lock");
  DWORD flags = 0;
  if (!wait) flags |= LOCKFILE_FAIL_IMMEDIATELY;
  if (!shared) flags |= LOCKFILE_EXCLUSIVE_LOCK;
  if (lock_first_byte(opened.file, flags) == 0) {
    opened.file.reset();
    throw Error("busy", "Another Tovra operation is using this state");
  }
  return OperationLock(std::move(opened.file));
}

}  // namespace tovra
