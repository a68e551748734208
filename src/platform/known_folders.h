#pragma once
// Per-user folders the installer places data and shortcuts in.
// Windows: SHGetKnownFolderPath for FOLDERID_LocalAppData and FOLDERID_Programs.
// POSIX: $XDG_DATA_HOME when set and absolute, else $HOME/.local/share (HOME from the
// environment, else the password database); the menu folder is "applications" inside it.

#include <filesystem>

namespace tovra {

// The local application data folder; `user_path` "Cannot locate user data" when unknown.
std::filesystem::path local_app_data_folder();

// The Start menu Programs folder, unverified; `user_path`
// "Cannot locate the user's Start menu Programs folder" when unknown.
std::filesystem::path start_menu_programs_folder();

}  // namespace tovra
