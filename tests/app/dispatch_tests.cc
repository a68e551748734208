#include "app/dispatch.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "app/results.h"
#include "app/setup_command.h"
#include "core/digest.h"
#include "core/paths.h"
#include "core/test_util.h"
#include "platform/known_folders.h"
#include "support/links.h"
#include "support/temp_dir.h"

namespace tovra {
namespace {

using testing::TempDir;

struct Dispatched {
  int code = -1;
  std::string out;
  std::string err;
  bool operator==(const Dispatched&) const = default;
  friend void PrintTo(const Dispatched& d, std::ostream* os) { *os << d.code << " [" << d.out << "][" << d.err << "]"; }
};

Dispatched run(const std::vector<std::string>& arguments, const CommandRunner& runner,
               std::string_view program = "tovra-install", std::string_view seal = "") {
  std::ostringstream out, err;
  const int code = run_installer(arguments, program, seal, {}, out, err, runner);
  return {code, out.str(), err.str()};
}

Json status_of(const SetupCommand& command, std::string_view, const NativeSetupCallbacks&) {
  StatusResult status;
  status.data_root = command.data_dir;
  return status_document(status);
}

Json never(const SetupCommand&, std::string_view, const NativeSetupCallbacks&) {
  ADD_FAILURE() << "the command must not run";
  return Json();
}

TEST(Dispatch, HelpPrintsOnlyTheUsageAndParseProblemsAreTextEvenWithJson) {
  EXPECT_EQ(run({"status", "--json", "--help"}, never, "tovra-helper"),
            (Dispatched{0, usage_text("tovra-helper", false), ""}));
  EXPECT_EQ(run({"status", "--json", "--game", "chess"}, never),
            (Dispatched{2, "", "--game only applies to shortcut create\n"}));
}

// Problems of the installer and of the libraries pick the exit code; the message goes to
// standard error, and in JSON mode a problem document to standard output. Anything else prints
// no document.
TEST(Dispatch, FailuresChooseExitCodeAndOutputByMode) {
  const auto io_error = std::make_error_code(std::errc::io_error);
  // The failure, the exit code, the problem code (empty: no document) and the message.
  const std::tuple<std::function<void()>, int, std::string, std::string> cases[] = {
      {[] { throw Error("usage", "It went wrong"); }, 2, "usage", "It went wrong"},
      {[&] { throw std::filesystem::filesystem_error("x", "data-x", io_error); }, 1, "file_read",
       "Cannot inspect path: data-x"},
      {[] { native_path("bad\xFF"); }, 1, "text_encoding", "Native process text must contain valid Unicode"},
      {[] { throw std::length_error("x"); }, 1, "size_limit", "Data exceeds the size this program can hold"},
      {[] { throw std::runtime_error("disk on fire"); }, 1, "", "disk on fire"},
  };
  for (const auto& [fail, exit, code, message] : cases) {
    for (const bool json : {false, true}) {
      std::vector<std::string> arguments{"status", "--data-dir", "/nowhere"};
      if (json) arguments.push_back("--json");
      const Dispatched result = run(arguments, [&](auto&&...) -> Json {
        fail();
        return Json();
      });
      const std::string problem = R"({"problem":{"code":")" + code + R"(","message":")" + message +
                                  R"("},"schema_version":1})" "\n";
      EXPECT_EQ(result, (Dispatched{exit, json && !code.empty() ? problem : "", message + "\n"}));
    }
  }
}

// JSON mode prints the document and a line feed, or, when it cannot be serialised, nothing.
TEST(Dispatch, PrintsTheWholeDocumentOrNothing) {
  EXPECT_EQ(run({"--json", "status", "--data-dir", "d"}, status_of),
            (Dispatched{0,
                        R"({"bootstrap_build":"","bootstrap_update_pending":false,"data_root":"d","incomplete":false,)"
                        R"("installed":false,"last_operation":null,"launcher_build":"","schema_version":1,)"
                        R"("shortcuts":[]})" "\n",
                        ""}));
  const Dispatched unserialisable = run({"--json", "shortcut", "create"}, [](auto&&...) {
    return Json{{"created", "bad\xFF.desktop"}, {"schema_version", 1}};
  });
  EXPECT_EQ(unserialisable.code, 1);
  EXPECT_EQ(unserialisable.out, "");
  EXPECT_FALSE(unserialisable.err.empty());
}

TEST(Dispatch, InstallAndRepairNeedTheInstallerAndAPackage) {
  EXPECT_EQ(run({"repair", "--package", "/p"}, never, "tovra-helper"),
            (Dispatched{2, "", "Use the Tovra installer to install or repair Tovra\n"}));
  EXPECT_EQ(run({"status", "--data-dir", "srv-d"}, status_of, "tovra-helper").code, 0);

  // The real command runner refuses an install without a package (none lies beside this test).
  TempDir data;
  EXPECT_EQ(run({"--data-dir", data.path().string()}, run_setup_command),
            (Dispatched{2, "", "Choose the initial package with --package DIR\n"}));
}

TEST(Dispatch, FindsThePackageBesideTheExecutable) {
  TOVRA_NEEDS_SYMLINKS();
  TempDir folder;
  const std::filesystem::path executable = folder / "tovra-install";
  testing::write_file(folder / "initial-package", "not a folder");
  EXPECT_TRUE(default_package_directory(executable).empty());
  std::filesystem::remove(folder / "initial-package");
  std::filesystem::create_directory(folder / "real");
  testing::make_directory_symlink(folder / "real", folder / "initial-package");
  EXPECT_EQ(default_package_directory(executable), folder / "initial-package");
}

TEST(Dispatch, NamesTheProductAfterTheInstalledBrand) {
  TempDir data;
  std::filesystem::create_directory(data / "native");
  testing::write_file(data / "native" / "installation.json",
                      R"({"brand":{"icon":true,"id":"acme","name":"Acme","publisher":"Acme Inc"},)"
                      R"("kind":"tovra-installation","schema_version":1})");
  testing::write_file(data / "native" / "brand.ico", "icon");
  const std::vector<std::string> arguments{"status", "--data-dir", data.path().string()};
  EXPECT_EQ(run(arguments, status_of).out, "Acme is not installed in " + data.path().string() + ".\n");
  EXPECT_EQ(product_icon, data / "native" / "brand.ico");

  // The icon counts only as a regular file.
  std::filesystem::remove(data / "native" / "brand.ico");
  std::filesystem::create_directory(data / "native" / "brand.ico");
  run(arguments, status_of);
  EXPECT_TRUE(product_icon.empty());
}

TEST(Dispatch, APackageBrandNamesTheProductAndTheDefaultFolder) {
  TempDir package;
  const std::string descriptor = R"({"brand":{"icon":null,"id":"acme","name":"Acme Arcade",)"
                                 R"("publisher":"Acme Inc"},"kind":"tovra-initial-package"})";
  testing::write_file(package / "initial-package.json", descriptor);
  const std::string seal = digest_hex(descriptor, "sha256");
  const std::string folder = package.path().string();
  const auto install = [](const SetupCommand& command, auto&&...) {
    InstallResult result;
    result.data_root = command.data_dir;
    return install_document(result);
  };

  EXPECT_EQ(run({"install", "--package", folder}, install, "tovra-install", seal),
            (Dispatched{0, "Installed Acme Arcade in " + (local_app_data_folder() / "Acme Arcade").string() + ".\n",
                        ""}));
  EXPECT_EQ(run({"install", "--package", folder, "--data-dir", "games"}, install, "tovra-install", seal).out,
            "Installed Acme Arcade in games.\n");

  // A package sealed for another installer fails before anything runs.
  EXPECT_EQ(run({"install", "--package", folder}, never, "tovra-install", std::string(64, '0')),
            (Dispatched{1, "", "This package is not the one this installer was built for\n"}));
}

const std::filesystem::path kDefault = "/home/user/.local/share/Tovra";

TEST(SetupCommandGrammar, RefusesEveryMalformedCommandLine) {
  const std::tuple<std::vector<std::string>, std::string, std::string> table[] = {
      {{"--data-dir"}, "usage", "Option --data-dir needs a value"},
      {{"shortcut", "create", "--game", ""}, "usage", "Option --game needs a value"},
      {{"status", "repair"}, "usage", "Choose one command"},
      {{"Status"}, "usage", "Unknown command: Status"},
      {{"shortcut", "--json", "create"}, "usage", "Use shortcut create or shortcut remove"},
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
  for (const auto& [arguments, code, message] : table) {
    EXPECT_EQ(testing::outcome([&] { parse_setup_command(arguments, kDefault); }), code + ": " + message)
        << ::testing::PrintToString(arguments);
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

  // A value that looks like an option is still the value; a repeat overwrites.
  const SetupCommand repair = parse({"repair", "--package", "--json", "--data-dir", "/a", "--data-dir", "/b"});
  EXPECT_EQ(repair.package, "--json");
  EXPECT_FALSE(repair.json);
  EXPECT_EQ(repair.data_dir, "/b");

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
