#include "platform/process.h"

#include <windows.h>

#include <string>
#include <system_error>

#include "core/error.h"

namespace tovra {

std::filesystem::path current_executable_path() {
  constexpr DWORD kBound = 32768;
  std::wstring buffer(kBound, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), kBound);
  require(length > 0 && length < kBound, "launcher_identity",
          "Cannot identify this native executable within its path bound");
  buffer.resize(length);
  std::wstring expanded(kBound, L'\0');
  const DWORD long_length = ::GetLongPathNameW(buffer.c_str(), expanded.data(), kBound);
  require(long_length > 0 && long_length < kBound, "launcher_identity",
          "Cannot expand this native executable path within its bound");
  expanded.resize(long_length);
  std::error_code error;
  std::filesystem::path canonical = std::filesystem::weakly_canonical(expanded, error);
  if (error) return std::filesystem::path(expanded).lexically_normal();
  return canonical;
}

}  // namespace tovra
