#pragma once
// Helpers for the win32 backend's tests: a temporary folder below the user's temporary path and
// the Wine check for the documented limitations.

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "core/digest.h"
#include "core/test_util.h"

namespace tovra::win32_testing {

namespace fs = std::filesystem;

inline bool under_wine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

inline constexpr const char* kNoCaseSensitivityQuery =
    "GetFileInformationByHandleEx(FileCaseSensitiveInfo) fails with error 120, so no destination identity forms";

// Skips the calling test under Wine, naming the Wine limitation.
#define TOVRA_SKIP_UNDER_WINE(reason)                                  \
  do {                                                                 \
    if (::tovra::win32_testing::under_wine()) GTEST_SKIP() << "Wine limitation: " << (reason); \
  } while (false)

using tovra::testing::outcome;

class TempFolder {
 public:
  TempFolder() {
    wchar_t buffer[MAX_PATH + 2] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 2, buffer);
    if (length == 0) throw std::runtime_error("no temporary path");
    path_ = fs::path(std::wstring(buffer, length)) / ("tovra-test-" + random_identifier().substr(0, 12));
    fs::create_directories(path_);
    path_ = path_.lexically_normal();
  }
  ~TempFolder() {
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(path_, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored)) {
      ::SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    fs::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(std::string_view name) const { return path_ / fs::path(std::u8string(name.begin(), name.end())); }

 private:
  fs::path path_;
};

inline void put_file(const fs::path& path, std::string_view bytes) {
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
  DWORD wrote = 0;
  ASSERT_TRUE(::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr));
  ::CloseHandle(file);
}

inline std::string get_file(const fs::path& path) {
  const HANDLE file =
      ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string bytes(1 << 20, '\0');
  DWORD got = 0;
  ::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
  ::CloseHandle(file);
  bytes.resize(got);
  return bytes;
}

// Holds a file open with the given sharing until destroyed.
class HeldFile {
 public:
  HeldFile(const fs::path& path, DWORD share)
      : handle_(::CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr)) {}
  ~HeldFile() { close(); }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  bool open() const { return handle_ != INVALID_HANDLE_VALUE; }
  void close() {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_;
};

}  // namespace tovra::win32_testing
