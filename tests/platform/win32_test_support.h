#pragma once
// Helpers for the win32 backend's tests: a file held open with chosen sharing, and the skip for
// the documented Wine limitations.

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "core/test_util.h"
#include "support/temp_dir.h"
#include "support/wine.h"

namespace tovra::win32_testing {

inline constexpr const char* kNoCaseSensitivityQuery =
    "GetFileInformationByHandleEx(FileCaseSensitiveInfo) fails with error 120, so no destination identity forms";

// Skips the calling test under Wine, naming the Wine limitation.
#define TOVRA_SKIP_UNDER_WINE(reason)                                                       \
  do {                                                                                      \
    if (::tovra::testing::under_wine()) GTEST_SKIP() << "Wine limitation: " << (reason); \
  } while (false)

// Holds a file open with the given sharing until destroyed.
class HeldFile {
 public:
  HeldFile(const std::filesystem::path& path, DWORD share)
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
