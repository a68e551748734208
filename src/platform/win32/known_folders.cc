#include "platform/known_folders.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <memory>

#include "core/error.h"
#include "platform/win32/win32_support.h"

namespace tovra {
namespace {

struct TaskMemory {
  void operator()(wchar_t* text) const noexcept { ::CoTaskMemFree(text); }
};

bool known_folder(REFKNOWNFOLDERID id, DWORD flags, std::filesystem::path& folder) {
  wchar_t* raw = nullptr;
  const HRESULT result = ::SHGetKnownFolderPath(id, flags, nullptr, &raw);
  const std::unique_ptr<wchar_t, TaskMemory> text(raw);
  if (FAILED(result) || text == nullptr || text.get()[0] == L'\0') return false;
  folder = std::filesystem::path(text.get()).lexically_normal();
  return folder.is_absolute();
}

}  // namespace

std::filesystem::path local_app_data_folder() {
  std::filesystem::path folder;
  require(known_folder(FOLDERID_LocalAppData, 0, folder), "user_path", "Cannot locate user data");
  return folder;
}

std::filesystem::path start_menu_programs_folder() {
  std::filesystem::path folder;
  require(known_folder(FOLDERID_Programs, KF_FLAG_DONT_VERIFY, folder), "user_path", "Cannot locate the user's Start menu Programs folder");
  return folder;
}

}  // namespace tovra
