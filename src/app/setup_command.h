#pragma once
// The installer's grammar: the parsed command line and its usage text.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tovra {

enum class CommandKind : int {
  install = 0,
  repair = 1,
  status = 2,
  uninstall = 3,
  shortcut_create = 4,
  shortcut_remove = 5,
};

inline bool is_install_or_repair(CommandKind command) { return static_cast<int>(command) < 2; }

struct SetupCommand {
  CommandKind command = CommandKind::install;
  std::filesystem::path package;
  std::filesystem::path data_dir;
  bool data_dir_given = false;
  std::string game;
  bool remove_data = false;
  bool json = false;
  bool help = false;
};

// Parses the arguments after the program name; every problem has the code `usage`, except a
// game identifier's own problem, which passes unchanged.
SetupCommand parse_setup_command(const std::vector<std::string>& arguments,
                                 const std::filesystem::path& default_data_dir);

// The usage text; the install and repair lines only for the installer's own program name.
std::string usage_text(std::string_view program_name, bool include_install_lines);

}  // namespace tovra
