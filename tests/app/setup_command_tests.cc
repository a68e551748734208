#include "app/setup_command.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/test_util.h"

namespace tovra {
namespace {

const std::filesystem::path kDefault = "/home/user/.local/share/Tovra";

TEST(SetupCommandGrammar, RefusesEveryMalformedCommandLine) {
  const struct {
    std::vector<std::string> arguments;
    std::string code, message;
  } table[] = {
      {{"--data-dir"}, "usage", "Option --data-dir needs a value"},
      {{"shortcut", "create", "--game", ""}, "usage", "Option --game needs a value"},
      {{"--data-dir=x"}, "usage", "Unknown option: --data-dir=x"},
      {{"status", "repair"}, "usage", "Choose one command"},
      {{"Status"}, "usage", "Unknown command: Status"},
      {{"shortcut", "--json", "create"}, "usage", "Use shortcut create or shortcut remove"},
      {{"uninstall", "--package", "/pkg"}, "usage", "--package only applies to install and repair"},
      {{"repair", "--remove-data"}, "usage", "--remove-data only applies to uninstall"},
      // The checks after the last argument run in a fixed order.
      {{"status", "--remove-data", "--package", "/pkg"}, "usage", "--package only applies to install and repair"},
      {{"status", "--game", "chess", "--remove-data"}, "usage", "--remove-data only applies to uninstall"},
      // Help does not stop the checks.
      {{"--help", "--nope"}, "usage", "Unknown option: --nope"},
      {{"--help", "status", "--remove-data"}, "usage", "--remove-data only applies to uninstall"},
      // The identifier rule's own problem passes unchanged.
      {{"shortcut", "create", "--game", "Bad_Game"}, "invalid_identity",
       "Game and build IDs use lower-case letters, digits, dots and hyphens"},
  };
  for (const auto& row : table) {
    EXPECT_EQ(testing::outcome([&] { parse_setup_command(row.arguments, kDefault); }), row.code + ": " + row.message)
        << ::testing::PrintToString(row.arguments);
  }
}

TEST(SetupCommandGrammar, ReadsCommandsAndTheirOptions) {
  const auto parse = [](const std::vector<std::string>& arguments) { return parse_setup_command(arguments, kDefault); };
  const std::pair<std::vector<std::string>, CommandKind> commands[] = {
      {{}, CommandKind::install},
      {{"install"}, CommandKind::install},
      {{"repair"}, CommandKind::repair},
      {{"status"}, CommandKind::status},
      {{"uninstall"}, CommandKind::uninstall},
      {{"shortcut", "create"}, CommandKind::shortcut_create},
      {{"shortcut", "remove"}, CommandKind::shortcut_remove},
  };
  for (const auto& [arguments, kind] : commands) EXPECT_EQ(parse(arguments).command, kind);

  const SetupCommand plain = parse({});
  EXPECT_EQ(plain.data_dir, kDefault);
  EXPECT_FALSE(plain.data_dir_given || plain.json || plain.help || plain.remove_data);

  const SetupCommand uninstall = parse({"--remove-data", "uninstall", "--json", "--data-dir", "/d"});
  EXPECT_TRUE(uninstall.remove_data && uninstall.json && uninstall.data_dir_given);
  EXPECT_EQ(uninstall.data_dir, "/d");

  // A value that looks like an option or a command is still the value; a repeat overwrites.
  const SetupCommand repair = parse({"repair", "--package", "--json", "--data-dir", "/a", "--data-dir", "/b"});
  EXPECT_EQ(repair.package, "--json");
  EXPECT_FALSE(repair.json);
  EXPECT_EQ(repair.data_dir, "/b");
  const SetupCommand game = parse({"shortcut", "create", "--game", "status"});
  EXPECT_EQ(game.game, "status");

  // Help is recognised anywhere.
  EXPECT_TRUE(parse({"shortcut", "create", "-h", "--game", "chess"}).help);
}

TEST(UsageText, IsExactWithAndWithoutTheInstallLines) {
  const std::string common_head = " [COMMAND] [--data-dir DIR] [--json]\n\nCommands:\n";
  const std::string tail =
      "  status                    Show what is installed\n"
      "  uninstall [--remove-data] Remove Tovra and its games; saves and settings stay\n"
      "                            unless --remove-data is given\n"
      "  shortcut create [--game ID] | shortcut remove\n";
  EXPECT_EQ(usage_text("tovra-install", true),
            "Usage: tovra-install" + common_head +
                "  install [--package DIR]   Install Tovra (the default command)\n"
                "  repair [--package DIR]    Replace damaged Tovra files; keeps games, saves and settings\n" +
                tail);
  EXPECT_EQ(usage_text("other-tool", false), "Usage: other-tool" + common_head + tail);
}

}  // namespace
}  // namespace tovra
