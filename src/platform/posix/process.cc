#include "platform/process.h"

#include <unistd.h>

#include <string>
#include <system_error>

#include "core/error.h"

namespace tovra {

std::filesystem::path current_executable_path() {
  constexpr std::size_t kBound = 32768;
  std::string buffer(kBound, '\0');
  const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
  require(length > 0 && static_cast<std::size_t>(length) < kBound, "launcher_identity",
          "Cannot identify this native executable within its path bound");
  buffer.resize(static_cast<std::size_t>(length));
  std::error_code error;
  std::filesystem::path canonical = std::filesystem::weakly_canonical(buffer, error);
  if (error) return std::filesystem::path(buffer).lexically_normal();
  return canonical;
}

}  // namespace tovra
