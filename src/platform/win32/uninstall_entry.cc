#include "platform/uninstall_entry.h"

#include <windows.h>

#include <string>
#include <vector>

#include "core/error.h"
#include "core/paths.h"

namespace tovra {
namespace {

constexpr std::wstring_view kUninstallKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

std::wstring wide(std::string_view text) { return native_path(text).native(); }

struct KeyCloser {
  HKEY key = nullptr;
  ~KeyCloser() {
    if (key != nullptr) ::RegCloseKey(key);
  }
};

}  // namespace

void write_uninstall_entry(const UninstallEntry& entry) {
  check_uninstall_entry_name(entry.name);
  // Every value is converted before the key is touched, so a NUL fails without a partial entry.
  struct Text {
    const wchar_t* name;
    std::wstring value;
  };
  std::vector<Text> texts;
  texts.push_back({L"DisplayName", wide(entry.display_name)});
  texts.push_back({L"Publisher", wide(entry.publisher)});
  if (!entry.display_version.empty()) texts.push_back({L"DisplayVersion", wide(entry.display_version)});
  texts.push_back({L"DisplayIcon", wide(utf8_path(entry.icon))});
  texts.push_back({L"InstallLocation", wide(utf8_path(entry.install_location))});
  texts.push_back({L"UninstallString", wide(uninstall_command(entry))});
  const std::wstring key_path = std::wstring(kUninstallKey) + wide(entry.name);

  KeyCloser key;
  require(::RegCreateKeyExW(HKEY_CURRENT_USER, key_path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                            nullptr, &key.key, nullptr) == ERROR_SUCCESS,
          "uninstall_entry", "Cannot create the Windows uninstall entry");
  constexpr const char* cannot_write = "Cannot write the Windows uninstall entry";
  for (const Text& text : texts) {
    const DWORD bytes = static_cast<DWORD>((text.value.size() + 1) * sizeof(wchar_t));
    require(::RegSetValueExW(key.key, text.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.value.c_str()),
                             bytes) == ERROR_SUCCESS,
            "uninstall_entry", cannot_write);
  }
  const DWORD one = 1;
  for (const wchar_t* name : {L"NoModify", L"NoRepair"}) {
    require(::RegSetValueExW(key.key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one) ==
                ERROR_SUCCESS,
            "uninstall_entry", cannot_write);
  }
}

void remove_uninstall_entry(std::string_view name) noexcept {
  try {
    const std::wstring key_path = std::wstring(kUninstallKey) + wide(name);
    ::RegDeleteKeyW(HKEY_CURRENT_USER, key_path.c_str());
  } catch (...) {
    // A name that cannot be converted names no key.
  }
}

}  // namespace tovra
