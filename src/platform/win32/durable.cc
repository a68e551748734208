#include "platform/durable.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "core/digest.h"
#include "core/error.h"
#include "core/paths.h"
#include "platform/fault_injection.h"
#include "platform/read_file.h"
#include "platform/storage.h"
#include "platform/win32/win32_support.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
namespace ws = windows_security;
using win32::handle_of;

constexpr std::uint64_t max_single_write = 4294967295ull;
constexpr int max_commit_retries = 30;
constexpr int max_tree_depth = 256;

std::string with_error(std::string_view message, DWORD error) {
  return std::string(message) + " (" + std::to_string(error) + ")";
}

bool busy_error(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

struct FindCloser {
  void operator()(HANDLE handle) const noexcept { ::FindClose(handle); }
};
using FindHandle = std::unique_ptr<void, FindCloser>;

// Deletes the transaction file on every failure after its creation.
class TransactionFile {
 public:
  explicit TransactionFile(std::wstring path) : path_(std::move(path)) {}
  ~TransactionFile() {
    if (!committed_) ::DeleteFileW(path_.c_str());
  }
  TransactionFile(const TransactionFile&) = delete;
  TransactionFile& operator=(const TransactionFile&) = delete;
  void committed() { committed_ = true; }

 private:
  std::wstring path_;
  bool committed_ = false;
};

// One pass over a tree below `directory` (a long-form path); the removal pass deletes as it goes.
void walk_tree(const std::wstring& directory, bool removal, int depth) {
  require(depth <= max_tree_depth, "size_limit", "Tree cleanup exceeds its depth bound");
  WIN32_FIND_DATAW data{};
  const std::wstring pattern = directory + L"\\*";
  HANDLE raw = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
  if (raw == INVALID_HANDLE_VALUE)
    throw Error("file_remove", with_error("Cannot list a directory for cleanup", ::GetLastError()));
  FindHandle search(raw);
  for (;;) {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") {
      const std::wstring child = directory + L"\\" + name;
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        throw Error("unsafe_path", "Tree cleanup preserves reparse points");
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        walk_tree(child, removal, depth + 1);
        if (const int injected = removal ? fault_point("remove_tree directory") : 0)
          throw Error("file_remove", with_error("Cannot remove a directory during cleanup", static_cast<DWORD>(injected)));
      } else if (removal) {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0)
          ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (::DeleteFileW(child.c_str()) == 0)
          throw Error("file_remove", with_error("Cannot remove a file during cleanup", ::GetLastError()));
      }
    }
    if (::FindNextFileW(search.get(), &data) == 0) break;
  }
  const DWORD end = ::GetLastError();
  if (end != ERROR_NO_MORE_FILES)
    throw Error("file_remove", with_error("Cannot finish listing a directory for cleanup", end));
  if (removal && ::RemoveDirectoryW(directory.c_str()) == 0)
    throw Error("file_remove", with_error("Cannot remove a directory during cleanup", ::GetLastError()));
}

}  // namespace

[[noreturn]] void raise_file_write_error(int error, std::string_view message) {
  if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL || error == 1295)
    throw Error("insufficient_space", "Local storage cannot save data; free space and try again");
  throw Error("file_write", with_error(message, static_cast<DWORD>(error)));
}

fs::path native_long_path(const fs::path& path) { return fs::path(win32::long_form(path)); }

void export_file(const fs::path& destination, std::string_view content, bool replace_existing, bool private_storage,
                 bool synchronize) {
  if (const int injected = fault_point("export_file"))
    raise_file_write_error(injected, "Cannot write or synchronize transaction file");
  fs::path target;
  ws::DirectoryChain chain;
  if (private_storage) {
    target = ws::normalize_private_path(destination, false);
    chain = ws::open_directory_chain(target.parent_path(), true, true, ws::current_user_identity(), true);
  } else {
    target = win32::lexical_absolute(destination);
    const DWORD attributes = ::GetFileAttributesW(win32::long_form(target.parent_path()).c_str());
    require(target.has_filename() && attributes != INVALID_FILE_ATTRIBUTES &&
                (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0,
            "unsafe_path", "Export parent must be an existing plain directory");
  }
  require(path_kind(target) != PathKind::link, "unsafe_path", "Refusing to replace a symbolic link");
  const std::string name = utf8_path(target.filename());
  const std::string transaction = name + "." + random_identifier() + ".tmp";
  const fs::path transaction_path = target.parent_path() / native_path(transaction);
  require(content.size() <= max_single_write, "size_limit", "Transaction file exceeds the native write bound");

  ws::OpenedFile file;
  if (private_storage) {
    file = ws::open_private_file_at(chain, transaction, ws::FileAccess::write, ws::Disposition::create_new,
                                    ws::file_flag_none);
  } else {
    file = ws::open_owned_file(transaction_path, ws::FileAccess::write, ws::share_none, ws::Disposition::create_new,
                               ws::file_flag_none);
  }
  if (!file) {
    raise_file_write_error(file.error, "Cannot create transaction file " + win32::generic_utf8(transaction_path));
  }
  const std::wstring transaction_native = win32::long_form(transaction_path);
  TransactionFile guard(transaction_native);

  DWORD error = 0;
  DWORD wrote = 0;
  if (::WriteFile(handle_of(file.file), content.data(), static_cast<DWORD>(content.size()), &wrote, nullptr) == 0)
    error = ::GetLastError();
  else if (wrote != content.size())
    error = ERROR_WRITE_FAULT;
  else if (synchronize && ::FlushFileBuffers(handle_of(file.file)) == 0)
    error = ::GetLastError();
  file.file.reset();
  if (error != 0) raise_file_write_error(static_cast<int>(error), "Cannot write or synchronize transaction file");

  if (const int injected = fault_point("export_file commit"))
    raise_file_write_error(injected, "Cannot commit transaction file " + win32::generic_utf8(target));
  const std::wstring destination_native = win32::long_form(target);
  DWORD flags = 0;
  if (replace_existing) flags |= MOVEFILE_REPLACE_EXISTING;
  if (synchronize) flags |= MOVEFILE_WRITE_THROUGH;
  for (int attempt = 0;; ++attempt) {
    if (::MoveFileExW(transaction_native.c_str(), destination_native.c_str(), flags) != 0) break;
    error = ::GetLastError();
    if (!busy_error(error) || attempt >= max_commit_retries)
      raise_file_write_error(static_cast<int>(error), "Cannot commit transaction file " + win32::generic_utf8(target));
    std::this_thread::sleep_for(std::chrono::milliseconds(10 + 3 * attempt));
  }
  guard.committed();
}

void write_private_file(const fs::path& destination, std::string_view content) {
  export_file(destination, content, true, true, true);
}

void create_owned_file(const fs::path& destination, std::string_view content) {
  export_file(destination, content, false, false, true);
}

void sync_directory(const fs::path& directory) {
  if (const int injected = fault_point("sync_directory")) {
    throw Error("file_sync",
                with_error("This filesystem cannot synchronize the native directory", static_cast<DWORD>(injected)));
  }
  ws::with_directory_chain(directory, [](const ws::DirectoryChain& chain) {
    const std::wstring native = chain.path().native();
    const unique_fd handle = win32::owned_handle(
        ::CreateFileW(native.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILE_ATTRIBUTE_TAG_INFO tag{};
    require(handle.valid() && ::GetFileType(handle_of(handle)) == FILE_TYPE_DISK &&
                ::GetFileInformationByHandleEx(handle_of(handle), FileAttributeTagInfo, &tag, sizeof tag) != 0 &&
                (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0,
            "file_sync", "Cannot open ordinary directory for synchronization");
    if (::FlushFileBuffers(handle_of(handle)) == 0)
      throw Error("file_sync", with_error("This filesystem cannot synchronize the native directory", ::GetLastError()));
  });
}

void remove_tree(const fs::path& root) {
  if (const int injected = fault_point("remove_tree"))
    throw Error("file_remove", with_error("Cannot inspect a tree for cleanup", static_cast<DWORD>(injected)));
  const fs::path absolute = win32::lexical_absolute(root);
  const std::wstring native = win32::long_form(absolute);
  const DWORD attributes = ::GetFileAttributesW(native.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
    throw Error("file_remove", with_error("Cannot inspect a tree for cleanup", error));
  }
  require((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
              absolute.has_filename(),
          "unsafe_path", "Tree cleanup requires an ordinary directory and preserves reparse points");
  // Inspection first: a reparse point or an over-deep tree is refused before anything is deleted.
  walk_tree(native, false, 0);
  walk_tree(native, true, 0);
  sync_directory(absolute.parent_path());
}

bool remove_or_quarantine(const fs::path& file, const fs::path& quarantine) {
  if (fault_point("remove_or_quarantine") != 0) throw Error("file_remove", "Cannot remove " + win32::generic_utf8(file));
  const std::wstring native = file.native();
  const DWORD attributes = ::GetFileAttributesW(native.c_str());
  ::SetFileAttributesW(native.c_str(), FILE_ATTRIBUTE_NORMAL);
  // A directory link is removed as itself.
  const bool directory_link = attributes != INVALID_FILE_ATTRIBUTES &&
                              (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                              (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const BOOL removed = directory_link ? ::RemoveDirectoryW(native.c_str()) : ::DeleteFileW(native.c_str());
  if (removed != 0) return true;
  const DWORD error = ::GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
  const std::string shown = win32::generic_utf8(file);
  require(busy_error(error), "file_remove", "Cannot remove " + shown);
  const std::string refused = "Cannot remove " + shown + "; close the program that uses it and try again";
  const fs::path moved_to = quarantine / native_path(random_identifier() + "-" + utf8_path(file.filename()));
  try {
    ws::ensure_private_directory(quarantine);
  } catch (const Error&) {
    throw Error("file_remove", refused);
  }
  require(::MoveFileExW(native.c_str(), moved_to.native().c_str(), MOVEFILE_WRITE_THROUGH) != 0, "file_remove",
          refused);
  return false;
}

// A mounted folder is a reparse point, removed as itself without being entered.
void inspect_removal(const fs::path&) {}

void remove_path_or_quarantine(const fs::path& path, const fs::path& quarantine, std::vector<fs::path>& moved) {
  const DWORD attributes = ::GetFileAttributesW(path.native().c_str());
  const bool directory = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
  if (!directory) {
    if (!remove_or_quarantine(path, quarantine)) moved.push_back(path);
    return;
  }
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data{};
  const std::wstring pattern = path.native() + L"\\*";
  HANDLE raw = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
  require(raw != INVALID_HANDLE_VALUE, "file_remove", "Cannot remove " + win32::generic_utf8(path));
  {
    const FindHandle search(raw);
    do {
      const std::wstring name = data.cFileName;
      if (name != L"." && name != L"..") names.push_back(name);
    } while (::FindNextFileW(search.get(), &data) != 0);
    require(::GetLastError() == ERROR_NO_MORE_FILES, "file_remove", "Cannot remove " + win32::generic_utf8(path));
  }
  for (const std::wstring& name : names) remove_path_or_quarantine(path / name, quarantine, moved);
  if (fault_point("remove_path_or_quarantine directory") != 0)
    throw Error("file_remove", "Cannot remove " + win32::generic_utf8(path));
  if (::RemoveDirectoryW(path.native().c_str()) == 0) {
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
      require(!moved.empty(), "file_remove", "Cannot remove " + win32::generic_utf8(path));
  }
}

}  // namespace tovra
