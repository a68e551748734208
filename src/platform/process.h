#pragma once
// Facts about the running process.
// Windows: GetModuleFileNameW then GetLongPathNameW, both within 32768 UTF-16 units.
// POSIX: readlink of /proc/self/exe within 32768 bytes.

#include <filesystem>

namespace tovra {

// This executable's path, made weakly canonical; `launcher_identity` when it cannot be read
// within its bound.
std::filesystem::path current_executable_path();

}  // namespace tovra
