#include "platform/directory_listing.h"

#include <memory>

#include "core/error.h"
#include "platform/win32/win32_support.h"

namespace tovra {
namespace {

struct FindCloser {
  void operator()(HANDLE handle) const noexcept { ::FindClose(handle); }
};
using FindHandle = std::unique_ptr<void, FindCloser>;

// A link's own entry says it is a reparse point; its target's attributes tell whether it is a file.
bool regular_target(const std::wstring& child, const WIN32_FIND_DATAW& data) {
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
    return (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
  const unique_fd target = win32::owned_handle(
      ::CreateFileW(child.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  win32::HandleFacts facts;
  return target && win32::handle_facts(win32::handle_of(target), facts) &&
         (facts.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

}  // namespace

void list_directory(const std::filesystem::path& directory, const std::function<bool(const DirectoryEntry&)>& visit) {
  const std::string where = win32::generic_utf8(directory);
  const std::wstring native = win32::long_form(directory);
  // The folder itself: a directory, not a reparse point, held while it is listed.
  const unique_fd folder =
      win32::open_entry(native, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE);
  win32::HandleFacts facts;
  require(folder && win32::handle_facts(win32::handle_of(folder), facts) &&
              (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
              (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0,
          "file_read", "Cannot list folder: " + where);

  WIN32_FIND_DATAW data{};
  const std::wstring pattern = native + L"\\*";
  HANDLE raw = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
  if (raw == INVALID_HANDLE_VALUE) {
    require(::GetLastError() == ERROR_FILE_NOT_FOUND, "file_read", "Cannot list folder: " + where);
    return;
  }
  const FindHandle search(raw);
  for (;;) {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") {
      DirectoryEntry item;
      bool ok = false;
      item.name = win32::narrow(name, &ok);
      require(ok, "file_read", "Cannot inspect folder entry in " + where);
      item.link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
      item.regular = regular_target(native + L"\\" + name, data);
      if (!visit(item)) return;
    }
    if (::FindNextFileW(search.get(), &data) == 0) {
      require(::GetLastError() == ERROR_NO_MORE_FILES, "file_read", "Cannot list folder: " + where);
      return;
    }
  }
}

}  // namespace tovra
