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

struct Dispatched {
  int code = -1;
  std::string out;
  std::string err;
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
      {[&] { throw std::filesystem::filesystem_error("x", "data-x", io_error); }, 1, "file_read",
       "Cannot inspect path: data-x"},
      {[] { native_path("bad\xFF"); }, 1, "text_encoding", "Native process text must contain valid Unicode"},
      {[] { throw std::length_error("x"); }, 1, "size_limit", "Data exceeds the size this program can hold"},
      {[] { throw std::runtime_error("disk on fire"); }, 1, "", "disk on fire"},
  };
  for (const auto& c : cases) {
    for (const bool json : {false, true}) {
      std::vector<std::string> arguments{"status", "--data-dir", "/nowhere"};
      if (json) arguments.push_back("--json");
      const Dispatched result = run(arguments, [&](auto&&...) -> Json {
        c.fail();
        return Json();
      });
      EXPECT_EQ(result.code, c.exit) << c.message;
      EXPECT_EQ(result.err, c.message + "\n");
      const std::string problem = R"({"problem":{"code":")" + c.code + R"(","message":")" + c.message +
                                  R"("},"schema_version":1})" "\n";
      EXPECT_EQ(result.out, json && !c.code.empty() ? problem : "");
    }
  }
}

// JSON mode prints the document and a line feed, or, when it cannot be serialised, nothing.
TEST(Dispatch, PrintsTheWholeDocumentOrNothing) {
  const Dispatched status = run({"--json", "status", "--data-dir", "d"}, status_of);
  EXPECT_EQ(status.code, 0);
  EXPECT_EQ(status.out, R"({"bootstrap_build":"","bootstrap_update_pending":false,"data_root":"d","incomplete":false,)"
                        R"("installed":false,"last_operation":null,"launcher_build":"","schema_version":1,)"
                        R"("shortcuts":[]})" "\n");
  const Dispatched unserialisable = run({"--json", "shortcut", "create"}, [](auto&&...) {
    return Json{{"created", "bad\xFF.desktop"}, {"schema_version", 1}};
  });
  EXPECT_EQ(unserialisable.code, 1);
  EXPECT_EQ(unserialisable.out, "");
  EXPECT_FALSE(unserialisable.err.empty());
}

TEST(Dispatch, InstallAndRepairNeedTheInstallerAndAPackage) {
  const Dispatched other = run({"repair", "--package", "/p"}, never, "tovra-helper");
  EXPECT_EQ(other.code, 2);
  EXPECT_EQ(other.err, "Use the Tovra installer to install or repair Tovra\n");
  EXPECT_EQ(run({"status", "--data-dir", "srv-d"}, status_of, "tovra-helper").code, 0);

  // The real command runner refuses an install without a package (none lies beside this test).
  TempDir data;
  const Dispatched missing = run({"--data-dir", data.path().string()}, run_setup_command);
  EXPECT_EQ(missing.code, 2);
  EXPECT_EQ(missing.err, "Choose the initial package with --package DIR\n");
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

  const Dispatched defaulted = run({"install", "--package", folder}, install, "tovra-install", seal);
  EXPECT_EQ(defaulted.code, 0) << defaulted.err;
  EXPECT_EQ(defaulted.out, "Installed Acme Arcade in " + (local_app_data_folder() / "Acme Arcade").string() + ".\n");
  EXPECT_EQ(run({"install", "--package", folder, "--data-dir", "games"}, install, "tovra-install", seal).out,
            "Installed Acme Arcade in games.\n");

  // A package sealed for another installer fails before anything runs.
  const Dispatched foreign = run({"install", "--package", folder}, never, "tovra-install", std::string(64, '0'));
  EXPECT_EQ(foreign.code, 1);
  EXPECT_EQ(foreign.err, "This package is not the one this installer was built for\n");
}

}  // namespace
}  // namespace tovra
