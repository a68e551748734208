#include "platform/delayed_removal.h"

#include <string>

#include "core/error.h"
#include "platform/read_file.h"
#include "platform/win32/win32_support.h"

namespace tovra {

namespace fs = std::filesystem;

void schedule_folder_removal(const fs::path& folder) {
  wchar_t system[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
  require(length > 0 && length < MAX_PATH, "process_start", "Cannot locate the Windows system directory");
  const std::wstring directory(system, length);
  std::wstring native = folder.native();
  for (wchar_t& c : native)
    if (c == L'/') c = L'\\';
  // The ping waits about three seconds, so this process has exited and released its files.
  std::wstring line = L"\"" + directory + L"\\cmd.exe\" /d /q /c \"ping -n 4 127.0.0.1 >nul & rd /s /q \"" + native +
                      L"\"\"";
  for (const DWORD flags : {DWORD{CREATE_BREAKAWAY_FROM_JOB | CREATE_NO_WINDOW}, DWORD{CREATE_NO_WINDOW}}) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::wstring mutable_line = line;  // CreateProcessW may write into it
    if (::CreateProcessW(nullptr, mutable_line.data(), nullptr, nullptr, FALSE, flags, nullptr, directory.c_str(),
                         &startup, &process) != 0) {
      ::CloseHandle(process.hThread);
      ::CloseHandle(process.hProcess);
      return;
    }
  }
}

std::optional<fs::path> temporary_folder_on_volume_of(const fs::path& data_root) {
  wchar_t buffer[MAX_PATH + 2] = {};
  const DWORD length = ::GetTempPathW(MAX_PATH + 2, buffer);
  if (length == 0 || length > MAX_PATH + 1) return std::nullopt;
  const fs::path temporary = win32::lexical_absolute(fs::path(std::wstring(buffer, length)));
  if (path_kind(temporary) != PathKind::directory) return std::nullopt;
  const std::wstring a = temporary.root_name().native();
  const std::wstring b = win32::lexical_absolute(data_root).root_name().native();
  if (a.empty() || a.size() != b.size()) return std::nullopt;
  if (::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) !=
      CSTR_EQUAL)
    return std::nullopt;
  return temporary;
}

}  // namespace tovra
