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
#include "support/temp_dir.h"
#include "support/links.h"

namespace tovra {
namespace {

using testing::TempDir;

struct Dispatched {
  int code = -1;
  std::string out;
  std::string err;
  bool runner_called = false;
  SetupCommand seen;
  std::string seen_product;
  std::filesystem::path seen_icon;
};

// Runs the dispatcher with a runner that records what it was given and then does `body`.
Dispatched run(const std::vector<std::string>& arguments,
        std::function<Json(const SetupCommand&, const NativeSetupCallbacks&)> body,
        std::string_view program = "tovra-install", std::function<bool()> cancelled = {},
        std::string_view seal = "") {
  Dispatched result;
  std::ostringstream out, err;
  const CommandRunner runner = [&](const SetupCommand& command, std::string_view, const NativeSetupCallbacks& callbacks) {
    result.runner_called = true;
    result.seen = command;
    result.seen_product = product_name;
    result.seen_icon = product_icon;
    return body(command, callbacks);
  };
  result.code = run_installer(arguments, program, seal, std::move(cancelled), out, err, runner);
  result.out = out.str();
  result.err = err.str();
  return result;
}

Json status_of(const SetupCommand& command) {
  StatusResult status;
  status.data_root = command.data_dir;
  return status_document(status);
}

Json never(const SetupCommand&, const NativeSetupCallbacks&) {
  ADD_FAILURE() << "the command must not run";
  return Json();
}

TEST(Dispatch, HelpPrintsOnlyTheUsageAndParseProblemsAreTextEvenWithJson) {
  Dispatched help = run({"status", "--json", "--help"}, never);
  EXPECT_EQ(help.code, 0);
  EXPECT_EQ(help.out, usage_text("tovra-install", true));
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(run({"-h"}, never, "tovra-helper").out, usage_text("tovra-helper", false));

  Dispatched failed = run({"status", "--json", "--game", "chess"}, never);
  EXPECT_EQ(failed.code, 2);
  EXPECT_EQ(failed.out, "");
  EXPECT_EQ(failed.err, "--game only applies to shortcut create\n");
}

// Problems of the installer and of the libraries pick the exit code; the message goes to
// standard error, and in JSON mode a problem document to standard output. Anything else prints
// no document.
TEST(Dispatch, FailuresChooseExitCodeAndOutputByMode) {
  const struct {
    std::function<void()> fail;
    int exit;
    std::string code, message;  // code empty: no document
  } cases[] = {
      {[] { throw Error("usage", "It went wrong"); }, 2, "usage", "It went wrong"},
      {[] { throw Error("cancelled", "It went wrong"); }, 4, "cancelled", "It went wrong"},
      {[] { throw Error("busy", "It went wrong"); }, 1, "busy", "It went wrong"},
      {[] { throw std::filesystem::filesystem_error("x", "data-x", std::make_error_code(std::errc::io_error)); }, 1,
       "file_read", "Cannot inspect path: data-x"},
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
      EXPECT_EQ(result.out, json && !c.code.empty() ? R"({"problem":{"code":")" + c.code + R"(","message":")" +
                                                          c.message + R"("},"schema_version":1})" "\n"
                                                    : "");
    }
  }

  // A result that cannot be serialised or written fails as a whole: nothing half-printed.
  const auto bad_text = [](const SetupCommand&, const NativeSetupCallbacks&) {
    return Json{{"created", "bad\xFF.desktop"}, {"schema_version", 1}};
  };
  Dispatched unserialisable = run({"shortcut", "create", "--json", "--data-dir", "/nowhere"}, bad_text);
  EXPECT_EQ(unserialisable.code, 1);
  EXPECT_EQ(unserialisable.out, "");
  EXPECT_FALSE(unserialisable.err.empty());
  std::ostream broken(nullptr);
  for (const std::vector<std::string>& arguments : {std::vector<std::string>{"status", "--data-dir", "/nowhere"},
                                                    std::vector<std::string>{"--help"}}) {
    std::ostringstream err;
    const CommandRunner status = [](const SetupCommand& command, std::string_view, const NativeSetupCallbacks&) {
      return status_of(command);
    };
    EXPECT_EQ(run_installer(arguments, "tovra-install", "", {}, broken, err, status), 1) << arguments.front();
    EXPECT_EQ(err.str(), "Cannot write the result to standard output\n");
  }
}

TEST(Dispatch, PrintsOneResultLineAndPhaseLinesInTextModeOnly) {
  const auto working = [](const SetupCommand& command, const NativeSetupCallbacks& callbacks) {
    Cancellation cancellation(callbacks);
    cancellation.report("removing", 0, 0);
    cancellation.progress("removing")(5, 10);
    UninstallResult result;
    result.data_root = command.data_dir;
    return uninstall_document(result);
  };
  Dispatched text = run({"uninstall", "--data-dir", "srv-d"}, working);
  EXPECT_EQ(text.code, 0);
  EXPECT_EQ(text.out, "Removed Tovra from srv-d.\n");
  EXPECT_EQ(text.err, "Removing\u2026\n");
  EXPECT_EQ(text.seen.data_dir, "srv-d");
  Dispatched json = run({"--json", "uninstall", "--data-dir", "srv-d"}, working);
  EXPECT_EQ(json.code, 0);
  EXPECT_EQ(json.out, R"({"changed_shortcuts":[],"data_removed":false,"data_root":"srv-d","deferred":[],"kept":[],)"
                      R"("schema_version":1,"uninstalled":true})" "\n");
  EXPECT_EQ(json.err, "");
}

TEST(Dispatch, CancellationReachesTheWorkflowAndExitsWithFour) {
  bool requested = false;
  const auto cancellable = [&](const SetupCommand&, const NativeSetupCallbacks& callbacks) -> Json {
    Cancellation cancellation(callbacks);
    cancellation.check();  // not yet
    requested = true;
    cancellation.check();
    return Json();
  };
  Dispatched cancelled = run({"uninstall", "--data-dir", "srv-d"}, cancellable, "tovra-install", [&] { return requested; });
  EXPECT_EQ(cancelled.code, 4);
  EXPECT_EQ(cancelled.err, "Setup was cancelled\n");
  EXPECT_EQ(cancelled.out, "");
}

TEST(Dispatch, InstallAndRepairNeedTheInstallerAndAPackage) {
  Dispatched other = run({"repair", "--package", "/p"}, never, "tovra-helper");
  EXPECT_EQ(other.code, 2);
  EXPECT_EQ(other.err, "Use the Tovra installer to install or repair Tovra\n");
  Dispatched status = run({"status", "--data-dir", "srv-d"}, [](const SetupCommand& c, const NativeSetupCallbacks&) { return status_of(c); },
                   "tovra-helper");
  EXPECT_EQ(status.code, 0);

  // The real command runner refuses an install without a package (none lies beside this test).
  TempDir data;
  std::ostringstream out, err;
  EXPECT_EQ(run_installer({"--json", "--data-dir", data.path().string()}, "tovra-install", "", {}, out, err), 2);
  EXPECT_EQ(out.str(), R"({"problem":{"code":"usage","message":"Choose the initial package with --package DIR"},"schema_version":1})" "\n");
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
  testing::write_file(data / "native" / "brand.ico", std::string("\0\0\1\0", 4) + std::string(18, 'x'));
  const auto status = [](const SetupCommand& c, const NativeSetupCallbacks&) { return status_of(c); };

  Dispatched branded = run({"status", "--data-dir", data.path().string()}, status);
  EXPECT_EQ(branded.code, 0);
  EXPECT_EQ(branded.seen_product, "Acme");
  EXPECT_EQ(branded.seen_icon, data / "native" / "brand.ico");
  EXPECT_EQ(branded.out, "Acme is not installed in " + data.path().string() + ".\n");

  // The icon counts only as a regular file.
  std::filesystem::remove(data / "native" / "brand.ico");
  std::filesystem::create_directory(data / "native" / "brand.ico");
  EXPECT_TRUE(run({"status", "--data-dir", data.path().string()}, status).seen_icon.empty());
}

TEST(Dispatch, APackageBrandNamesTheProductAndTheDefaultFolder) {
  TempDir package;
  const std::string descriptor =
      R"({"brand":{"icon":null,"id":"acme","name":"Acme Arcade","publisher":"Acme Inc"},"kind":"tovra-initial-package"})";
  testing::write_file(package / "initial-package.json", descriptor);
  const std::string seal = digest_hex(descriptor, "sha256");
  const auto install = [](const SetupCommand& command, const NativeSetupCallbacks&) {
    InstallResult result;
    result.data_root = command.data_dir;
    return install_document(result);
  };

  Dispatched defaulted = run({"install", "--package", package.path().string()}, install, "tovra-install", {}, seal);
  EXPECT_EQ(defaulted.code, 0) << defaulted.err;
  EXPECT_EQ(defaulted.seen_product, "Acme Arcade");
  EXPECT_EQ(defaulted.seen.data_dir, local_app_data_folder() / "Acme Arcade");
  EXPECT_EQ(defaulted.out, "Installed Acme Arcade in " + (local_app_data_folder() / "Acme Arcade").string() + ".\n");

  Dispatched chosen = run({"install", "--package", package.path().string(), "--data-dir", "/srv/games"}, install,
                   "tovra-install", {}, seal);
  EXPECT_EQ(chosen.seen.data_dir, "/srv/games");
  EXPECT_EQ(chosen.seen_product, "Acme Arcade");

  // A package sealed for another installer fails before anything runs.
  Dispatched foreign = run({"install", "--package", package.path().string()}, never, "tovra-install", {},
                    std::string(64, '0'));
  EXPECT_EQ(foreign.code, 1);
  EXPECT_EQ(foreign.err, "This package is not the one this installer was built for\n");
}

}  // namespace
}  // namespace tovra
