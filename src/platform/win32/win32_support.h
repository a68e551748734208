#pragma once
// Helpers shared by the win32 backend only: handle ownership over unique_fd, UTF-16/UTF-8
// conversion, the thread error mode scope and the long-path form.

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace tovra::win32 {

// Kernel handles fit in 32 bits (the system keeps them so for 32/64-bit interop), so unique_fd
// stores the handle value; INVALID_HANDLE_VALUE is -1, the invalid descriptor.
inline HANDLE handle_of(const unique_fd& fd) noexcept {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd.get()));
}

inline unique_fd owned_handle(HANDLE handle) noexcept {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return unique_fd();
  return unique_fd(static_cast<int>(reinterpret_cast<std::intptr_t>(handle)));
}

// UTF-8 to UTF-16; invalid UTF-8 gives an empty result with `ok` false.
std::wstring widen(std::string_view text, bool* ok = nullptr);
// UTF-16 to UTF-8; unpaired surrogates give an empty result with `ok` false.
std::string narrow(std::wstring_view text, bool* ok = nullptr);

// A path as UTF-8 with "/" separators, for messages.
std::string generic_utf8(const std::filesystem::path& path);

// Absolute and lexically normal, without a trailing separator except at a root.
std::filesystem::path lexical_absolute(const std::filesystem::path& path);

// "\\?\" + the absolute normal path for drive-letter paths; other paths unchanged but normalised.
std::wstring long_form(const std::filesystem::path& path);

// True for "X:" with an ASCII letter X.
bool is_drive_root_name(std::wstring_view root_name);

// Critical-error boxes are suppressed on this thread for the scope's life.
class ErrorModeScope {
 public:
  ErrorModeScope();
  ~ErrorModeScope();
  ErrorModeScope(const ErrorModeScope&) = delete;
  ErrorModeScope& operator=(const ErrorModeScope&) = delete;

 private:
  DWORD previous_ = 0;
  bool changed_ = false;
};

// Attributes and identity of an open handle.
struct HandleFacts {
  DWORD attributes = 0;
  DWORD links = 0;
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  std::uint64_t size = 0;
};
bool handle_facts(HANDLE handle, HandleFacts& facts) noexcept;

// Opens a path's own entry (a reparse point is opened as itself) for attribute reads.
unique_fd open_entry(const std::wstring& native, DWORD access, DWORD share) noexcept;

// Running under Wine (ntdll exports wine_get_version).
bool running_under_wine() noexcept;

}  // namespace tovra::win32
