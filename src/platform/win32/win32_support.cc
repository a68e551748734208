#include "platform/win32/win32_support.h"

#include <vector>

namespace tovra::win32 {

namespace fs = std::filesystem;

std::wstring widen(std::string_view text, bool* ok) {
  if (ok != nullptr) *ok = true;
  if (text.empty()) return {};
  if (text.size() > 0x7FFFFFFF) {
    if (ok != nullptr) *ok = false;
    return {};
  }
  const int size = static_cast<int>(text.size());
  const int units = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (units <= 0) {
    if (ok != nullptr) *ok = false;
    return {};
  }
  std::wstring out(static_cast<std::size_t>(units), L'\0');
  if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, out.data(), units) != units) {
    if (ok != nullptr) *ok = false;
    return {};
  }
  return out;
}

std::string narrow(std::wstring_view text, bool* ok) {
  if (ok != nullptr) *ok = true;
  if (text.empty()) return {};
  if (text.size() > 0x7FFFFFFF) {
    if (ok != nullptr) *ok = false;
    return {};
  }
  const int units = static_cast<int>(text.size());
  const int bytes = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), units, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) {
    if (ok != nullptr) *ok = false;
    return {};
  }
  std::string out(static_cast<std::size_t>(bytes), '\0');
  if (::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), units, out.data(), bytes, nullptr, nullptr) !=
      bytes) {
    if (ok != nullptr) *ok = false;
    return {};
  }
  return out;
}

std::string generic_utf8(const fs::path& path) {
  std::wstring text = path.native();
  for (wchar_t& c : text)
    if (c == L'\\') c = L'/';
  return narrow(text);
}

fs::path lexical_absolute(const fs::path& path) {
  fs::path absolute = path;
  if (!absolute.is_absolute()) {
    std::error_code error;
    absolute = fs::absolute(path, error);
    if (error) absolute = path;
  }
  absolute = absolute.lexically_normal();
  if (!absolute.has_filename() && absolute.has_relative_path()) absolute = absolute.parent_path();
  return absolute;
}

bool is_drive_root_name(std::wstring_view root_name) {
  return root_name.size() == 2 && root_name[1] == L':' &&
         ((root_name[0] >= L'A' && root_name[0] <= L'Z') || (root_name[0] >= L'a' && root_name[0] <= L'z'));
}

std::wstring long_form(const fs::path& path) {
  const fs::path absolute = lexical_absolute(path);
  std::wstring text = absolute.native();
  for (wchar_t& c : text)
    if (c == L'/') c = L'\\';
  if (is_drive_root_name(absolute.root_name().native())) return L"\\\\?\\" + text;
  return text;
}

ErrorModeScope::ErrorModeScope() {
  previous_ = ::GetThreadErrorMode();
  changed_ = ::SetThreadErrorMode(previous_ | SEM_FAILCRITICALERRORS, nullptr) != 0;
}

ErrorModeScope::~ErrorModeScope() {
  if (changed_) ::SetThreadErrorMode(previous_, nullptr);
}

bool handle_facts(HANDLE handle, HandleFacts& facts) noexcept {
  BY_HANDLE_FILE_INFORMATION info{};
  if (handle == INVALID_HANDLE_VALUE || ::GetFileInformationByHandle(handle, &info) == 0) return false;
  facts.attributes = info.dwFileAttributes;
  facts.links = info.nNumberOfLinks;
  facts.volume = info.dwVolumeSerialNumber;
  facts.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  facts.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return true;
}

unique_fd open_entry(const std::wstring& native, DWORD access, DWORD share) noexcept {
  return owned_handle(::CreateFileW(native.c_str(), access, share, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

bool running_under_wine() noexcept {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace tovra::win32
