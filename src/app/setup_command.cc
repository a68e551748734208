#include "app/setup_command.h"

#include "core/error.h"
#include "core/paths.h"

namespace tovra {
namespace {

void usage(const std::string& message) { throw Error("usage", message); }

}  // namespace

SetupCommand parse_setup_command(const std::vector<std::string>& arguments,
                                 const std::filesystem::path& default_data_dir) {
  SetupCommand result;
  result.data_dir = default_data_dir;
  bool command_chosen = false;

  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& word = arguments[i];
    // An option's value is the next argument whatever it looks like.
    const auto value = [&]() -> const std::string& {
      if (i + 1 >= arguments.size() || arguments[i + 1].empty()) usage("Option " + word + " needs a value");
      return arguments[++i];
    };

    if (word == "--help" || word == "-h") {
      result.help = true;
    } else if (word == "--json") {
      result.json = true;
    } else if (word == "--remove-data") {
      result.remove_data = true;
    } else if (word == "--data-dir") {
      result.data_dir = native_path(value());
      result.data_dir_given = true;
    } else if (word == "--package") {
      result.package = native_path(value());
    } else if (word == "--game") {
      result.game = value();
    } else if (!word.empty() && word.front() == '-') {
      usage("Unknown option: " + word);
    } else if (command_chosen) {
      usage("Choose one command");
    } else {
      command_chosen = true;
      if (word == "install") {
        result.command = CommandKind::install;
      } else if (word == "repair") {
        result.command = CommandKind::repair;
      } else if (word == "status") {
        result.command = CommandKind::status;
      } else if (word == "uninstall") {
        result.command = CommandKind::uninstall;
      } else if (word == "shortcut") {
        const std::string next = i + 1 < arguments.size() ? arguments[i + 1] : std::string();
        if (next == "create") {
          result.command = CommandKind::shortcut_create;
        } else if (next == "remove") {
          result.command = CommandKind::shortcut_remove;
        } else {
          usage("Use shortcut create or shortcut remove");
        }
        ++i;
      } else {
        usage("Unknown command: " + word);
      }
    }
  }

  if (!result.package.empty() && !is_install_or_repair(result.command))
    usage("--package only applies to install and repair");
  if (result.remove_data && result.command != CommandKind::uninstall)
    usage("--remove-data only applies to uninstall");
  if (!result.game.empty()) {
    if (result.command != CommandKind::shortcut_create) usage("--game only applies to shortcut create");
    check_identifier(result.game);
  }
  return result;
}

std::string usage_text(std::string_view program_name, bool include_install_lines) {
  std::string text = "Usage: ";
  text += program_name;
  text += " [COMMAND] [--data-dir DIR] [--json]\n\nCommands:\n";
  if (include_install_lines) {
    text += "  install [--package DIR]   Install Tovra (the default command)\n";
    text += "  repair [--package DIR]    Replace damaged Tovra files; keeps games, saves and settings\n";
  }
  text += "  status                    Show what is installed\n";
  text += "  uninstall [--remove-data] Remove Tovra and its games; saves and settings stay\n";
  text += "                            unless --remove-data is given\n";
  text += "  shortcut create [--game ID] | shortcut remove\n";
  return text;
}

}  // namespace tovra
