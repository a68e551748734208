#include "app/dispatch.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/results.h"
#include "app/setup_command.h"
#include "core/digest.h"
#include "core/paths.h"
#include "platform/known_folders.h"
#include "support/links.h"
#include "support/temp_dir.h"

namespace tovra {
namespace {

using testing::TempDir;
using Body = std::function<Json(const SetupCommand&, const NativeSetupCallbacks&)>;

struct Dispatched {
  int code = -1;
  std::string out;
  std::string err;
  SetupCommand seen;
  std::string seen_product;
  std::filesystem::path seen_icon;
};

// Runs the dispatcher with a runner that records what it was given and then does `body`.
Dispatched run(const std::vector<std::string>& arguments, const Body& body,
               std::string_view program = "tovra-install", std::string_view seal = "") {
  Dispatched result;
  std::ostringstream out, err;
  const CommandRunner runner = [&](const SetupCommand& command, std::string_view,
                                   const NativeSetupCallbacks& callbacks) {
    result.seen = command;
    result.seen_product = product_name;
    result.seen_icon = product_icon;
    return body(command, callbacks);
  };
  result.code = run_installer(arguments, program, seal, {}, out, err, runner);
  result.out = out.str();
  result.err = err.str();
  return result;
}

Json status_of(const SetupCommand& command, const NativeSetupCallbacks&) {
  StatusResult status;
  status.data_root = command.data_dir;
  return status_document(status);
}

Json never(const SetupCommand&, const NativeSetupCallbacks&) {
  ADD_FAILURE() << "the command must not run";
  return Json();
}

TEST(Dispatch, HelpPrintsOnlyTheUsageAndParseProblemsAreTextEvenWithJson) {
  const Dispatched help = run({"status", "--json", "--help"}, never, "tovra-helper");
  EXPECT_EQ(help.code, 0);
  EXPECT_EQ(help.out, usage_text("tovra-helper", false));
  EXPECT_EQ(help.err, "");

  const Dispatched failed = run({"status", "--json", "--game", "chess"}, never);
  EXPECT_EQ(failed.code, 2);
  EXPECT_EQ(failed.out, "");
  EXPECT_EQ(failed.err, "--game only applies to shortcut create\n");
}

// Problems of the installer and of the libraries pick the exit code; the message goes to
// standard error, and in JSON mode a problem document to standard output. Anything else prints
// no document.
TEST(Dispatch, FailuresChooseExitCodeAndOutputByMode) {
  const auto io_error = std::make_error_code(std::errc::io_error);
  const struct {
    std::function<void()> fail;
    int exit;
    std::string code, message;  // code empty: no document
  } cases[] = {
      {[] { throw Error("usage", "It went wrong"); }, 2, "usage", "It went wrong"},
      {[] { throw Error("busy", "It went wrong"); }, 1, "busy", "It went wrong"},
      {[&] { throw std::filesystem::filesystem_error("x", "data-x", io_error); }, 1, "file_read",
       "Cannot inspect path: data-x"},
      {[] { native_path("bad\xFF"); }, 1, "text_encoding", "Native process text must contain valid Unicode"},
      {[] { throw std::length_error("x"); }, 1, "size_limit", "Data exceeds the size this program can hold"},
      {[] { throw std::runtime_error("disk on fire"); }, 1, "", "disk on fire"},
  };
  for (const auto& c : cases) {
    const auto fail = [&](const SetupCommand&, const NativeSetupCallbacks&) -> Json {
      c.fail();
      return Json();
    };
    for (const bool json : {false, true}) {
      std::vector<std::string> arguments{"status", "--data-dir", "/nowhere"};
      if (json) arguments.push_back("--json");
      const Dispatched result = run(arguments, fail);
      EXPECT_EQ(result.code, c.exit) << c.message;
      EXPECT_EQ(result.err, c.message + "\n");
      const std::string problem = R"({"problem":{"code":")" + c.code + R"(","message":")" + c.message +
                                  R"("},"schema_version":1})" "\n";
      EXPECT_EQ(result.out, json && !c.code.empty() ? problem : "");
    }
  }

  // A result that cannot be serialised fails as a whole: nothing half-printed.
  const auto bad_text = [](const SetupCommand&, const NativeSetupCallbacks&) {
    return Json{{"created", "bad\xFF.desktop"}, {"schema_version", 1}};
  };
  const Dispatched unserialisable = run({"shortcut", "create", "--json"}, bad_text);
  EXPECT_EQ(unserialisable.code, 1);
  EXPECT_EQ(unserialisable.out, "");
  EXPECT_FALSE(unserialisable.err.empty());
}

TEST(Dispatch, PrintsOneResultLineAndPhaseLinesInTextModeOnly) {
  const auto working = [](const SetupCommand&, const NativeSetupCallbacks& callbacks) {
    Cancellation(callbacks).report("removing", 0, 0);
    return shortcut_create_document("chess.desktop");
  };
  const Dispatched text = run({"shortcut", "create", "--data-dir", "srv-d"}, working);
  EXPECT_EQ(text.code, 0);
  EXPECT_EQ(text.out, "Created chess.desktop.\n");
  EXPECT_EQ(text.err, "Removing\u2026\n");
  const Dispatched json = run({"--json", "shortcut", "create", "--data-dir", "srv-d"}, working);
  EXPECT_EQ(json.code, 0);
  EXPECT_EQ(json.out, R"({"created":"chess.desktop","schema_version":1})" "\n");
  EXPECT_EQ(json.err, "");
}

TEST(Dispatch, InstallAndRepairNeedTheInstallerAndAPackage) {
  const Dispatched other = run({"repair", "--package", "/p"}, never, "tovra-helper");
  EXPECT_EQ(other.code, 2);
  EXPECT_EQ(other.err, "Use the Tovra installer to install or repair Tovra\n");
  EXPECT_EQ(run({"status", "--data-dir", "srv-d"}, status_of, "tovra-helper").code, 0);

  // The real command runner refuses an install without a package (none lies beside this test).
  TempDir data;
  std::ostringstream out, err;
  EXPECT_EQ(run_installer({"--json", "--data-dir", data.path().string()}, "tovra-install", "", {}, out, err), 2);
  EXPECT_EQ(out.str(), R"({"problem":{"code":"usage","message":"Choose the initial package with --package DIR"},)"
                       R"("schema_version":1})" "\n");
  EXPECT_EQ(err.str(), "Choose the initial package with --package DIR\n");
}

TEST(Dispatch, FindsThePackageBesideTheExecutable) {
  TOVRA_NEEDS_SYMLINKS();
  TempDir folder;
  const std::filesystem::path executable = folder / "tovra-install";
  EXPECT_TRUE(default_package_directory(executable).empty());
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
  const Dispatched branded = run({"status", "--data-dir", data.path().string()}, status_of);
  EXPECT_EQ(branded.seen_product, "Acme");
  EXPECT_EQ(branded.seen_icon, data / "native" / "brand.ico");
  EXPECT_EQ(branded.out, "Acme is not installed in " + data.path().string() + ".\n");

  // The icon counts only as a regular file.
  std::filesystem::remove(data / "native" / "brand.ico");
  std::filesystem::create_directory(data / "native" / "brand.ico");
  EXPECT_TRUE(run({"status", "--data-dir", data.path().string()}, status_of).seen_icon.empty());
}

TEST(Dispatch, APackageBrandNamesTheProductAndTheDefaultFolder) {
  TempDir package;
  const std::string descriptor = R"({"brand":{"icon":null,"id":"acme","name":"Acme Arcade",)"
                                 R"("publisher":"Acme Inc"},"kind":"tovra-initial-package"})";
  testing::write_file(package / "initial-package.json", descriptor);
  const std::string seal = digest_hex(descriptor, "sha256");
  const std::string folder = package.path().string();
  const auto install = [](const SetupCommand& command, const NativeSetupCallbacks&) {
    InstallResult result;
    result.data_root = command.data_dir;
    return install_document(result);
  };

  const Dispatched defaulted = run({"install", "--package", folder}, install, "tovra-install", seal);
  EXPECT_EQ(defaulted.code, 0) << defaulted.err;
  EXPECT_EQ(defaulted.seen.data_dir, local_app_data_folder() / "Acme Arcade");
  EXPECT_EQ(defaulted.out, "Installed Acme Arcade in " + (local_app_data_folder() / "Acme Arcade").string() + ".\n");
  const Dispatched chosen = run({"install", "--package", folder, "--data-dir", "/srv/games"}, install,
                                "tovra-install", seal);
  EXPECT_EQ(chosen.seen.data_dir, "/srv/games");
  EXPECT_EQ(chosen.seen_product, "Acme Arcade");

  // A package sealed for another installer fails before anything runs.
  const Dispatched foreign = run({"install", "--package", folder}, never, "tovra-install", std::string(64, '0'));
  EXPECT_EQ(foreign.code, 1);
  EXPECT_EQ(foreign.err, "This package is not the one this installer was built for\n");
}

}  // namespace
}  // namespace tovra
