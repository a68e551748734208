#include "platform/known_folders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "core/error.h"

namespace tovra {
namespace {

constexpr long kPasswordBufferLimit = 1 << 20;

bool usable(const char* text) { return text != nullptr && text[0] == '/'; }

std::optional<std::filesystem::path> home_from_password_database() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  if (size <= 0) size = 16384;
  if (size > kPasswordBufferLimit) size = kPasswordBufferLimit;
  std::vector<char> buffer(static_cast<std::size_t>(size));
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
    return std::nullopt;
  if (!usable(found->pw_dir)) return std::nullopt;
  return std::filesystem::path(found->pw_dir);
}

std::optional<std::filesystem::path> data_home() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); usable(xdg)) return std::filesystem::path(xdg);
  std::optional<std::filesystem::path> home;
  if (const char* variable = std::getenv("HOME"); usable(variable))
    home = std::filesystem::path(variable);
  else
    home = home_from_password_database();
  if (!home) return std::nullopt;
  return *home / ".local" / "share";
}

}  // namespace

std::filesystem::path local_app_data_folder() {
  auto folder = data_home();
  require(folder.has_value(), "user_path", "Cannot locate user data");
  return folder->lexically_normal();
}

std::filesystem::path start_menu_programs_folder() {
  auto folder = data_home();
  require(folder.has_value(), "user_path", "Cannot locate the user's Start menu Programs folder");
  return (*folder / "applications").lexically_normal();
}

}  // namespace tovra
