#include "platform/entries.h"

#include <string>

#include "core/error.h"
#include "platform/fault_injection.h"
#include "platform/storage.h"
#include "platform/win32/win32_support.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
namespace ws = windows_security;

ws::DirectoryChain parent_chain(const fs::path& normalized) {
  return ws::open_directory_chain(normalized.parent_path(), true, false, ws::current_user_identity(), false);
}

[[noreturn]] void raise_move(const fs::path& from, const fs::path& to, DWORD error) {
  throw Error("file_write", "Cannot move " + win32::generic_utf8(from) + " to " + win32::generic_utf8(to) + " (" +
                                std::to_string(error) + ")");
}

}  // namespace

void move_entry(const fs::path& from, const fs::path& to) {
  if (const int injected = fault_point("move_entry")) raise_move(from, to, static_cast<DWORD>(injected));
  const fs::path source = ws::normalize_private_path(from, false);
  const fs::path destination = ws::normalize_private_path(to, false);
  // Both parents stay pinned, so neither can be swapped for a link during the move.
  const ws::DirectoryChain source_parent = parent_chain(source);
  const ws::DirectoryChain destination_parent = parent_chain(destination);
  if (::MoveFileExW(win32::long_form(source).c_str(), win32::long_form(destination).c_str(),
                    MOVEFILE_WRITE_THROUGH) == 0) {
    raise_move(from, to, ::GetLastError());
  }
}

bool remove_entry(const fs::path& path) noexcept {
  try {
    if (fault_point("remove_entry") != 0) return false;
    const fs::path normalized = ws::normalize_private_path(path, false);
    const ws::DirectoryChain parent = parent_chain(normalized);
    const std::wstring native = win32::long_form(normalized);
    const DWORD attributes = ::GetFileAttributesW(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const DWORD error = ::GetLastError();
      return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    // A directory link is a directory entry of its own and is removed as one.
    const BOOL removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? ::RemoveDirectoryW(native.c_str())
                                                                       : ::DeleteFileW(native.c_str());
    if (removed != 0) return true;
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  } catch (...) {
    // A parent that cannot be reached holds no entry to remove; the entry is gone when the path
    // names nothing at all (an interrupted removal may already have taken its parent).
    if (::GetFileAttributesW(path.native().c_str()) != INVALID_FILE_ATTRIBUTES) return false;
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
}

}  // namespace tovra
