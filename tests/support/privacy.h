#pragma once
// Privacy as the installer itself judges it, so one check holds for modes and for access lists.

#include <filesystem>
#include <string>

#include "core/test_util.h"
#include "platform/storage.h"

namespace tovra::testing {

// "ok" when `path` (a folder or a file) belongs to the current user alone, else the problem.
inline std::string privacy_of(const std::filesystem::path& path) {
  return outcome([&] {
    windows_security::open_directory_chain(path, std::filesystem::is_directory(path), false,
                                           windows_security::current_user_identity(), true);
  });
}

}  // namespace tovra::testing
