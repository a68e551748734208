#include "app/dispatch.h"

#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "app/console_run.h"
#include "app/results.h"
#include "core/paths.h"
#include "package/brand.h"
#include "package/initial_package.h"
#include "package/theme.h"
#include "platform/known_folders.h"
#include "platform/process.h"
#include "shortcuts/shortcuts.h"
#include "state/data_root.h"
#include "state/records.h"

namespace tovra {
namespace {

bool is_regular_file_here(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(std::filesystem::symlink_status(path, error));
}

// Names the product after the package's or the installation's brand, and settles the data folder.
void settle_presentation(SetupCommand& command, std::string_view seal, const std::filesystem::path& default_root) {
  if (is_install_or_repair(command.command) && !command.package.empty()) {
    const auto brand = read_package_brand(command.package, seal);
    if (!brand) return;
    product_name = brand->name;
    if (!command.data_dir_given) command.data_dir = default_root.parent_path() / native_path(brand->name);
    return;
  }
  const auto brand = read_installed_brand(command.data_dir);
  if (!brand) return;
  product_name = brand->name;
  product_theme = load_theme(command.data_dir / "native" / "theme");
  const std::filesystem::path icon = brand_icon_path(command.data_dir);
  if (brand->icon && is_regular_file_here(icon)) product_icon = icon;
}

}  // namespace

Json run_setup_command(const SetupCommand& command, std::string_view seal, const NativeSetupCallbacks& callbacks) {
  const Cancellation cancellation(callbacks);
  const CancellationCheck check = [&cancellation] { cancellation.check(); };
  switch (command.command) {
    case CommandKind::install:
    case CommandKind::repair: {
      require(!command.package.empty(), "usage", "Choose the initial package with --package DIR");
      NativeInstallRequest request;
      request.package = command.package;
      request.data_dir = command.data_dir;
      request.repair = command.command == CommandKind::repair;
      request.create_shortcut = true;
      return install_document(NativeInstaller::install(request, seal, callbacks));
    }
    case CommandKind::status:
      return status_document(setup_status(command.data_dir));
    case CommandKind::uninstall: {
      NativeUninstallRequest request;
      request.data_dir = command.data_dir;
      request.remove_data = command.remove_data;
      request.busy_timeout_ms = 15000;
      return uninstall_document(uninstall(request, callbacks));
    }
    case CommandKind::shortcut_create:
      return shortcut_create_document(create_shortcut_command(command.data_dir, command.game, product_name, check));
    case CommandKind::shortcut_remove:
      return shortcut_remove_document(remove_shortcuts_command(command.data_dir, check));
  }
  throw Error("usage", "Unknown setup command");
}

int exit_code_for(const Error& error) {
  if (error.code() == "usage") return 2;
  if (error.code() == "cancelled") return 4;
  return 1;
}

std::optional<Error> as_problem(const std::exception& failure) {
  if (const auto* file_system = dynamic_cast<const std::filesystem::filesystem_error*>(&failure))
    return Error("file_read", "Cannot inspect path: " + utf8_path(file_system->path1()));
  if (dynamic_cast<const std::range_error*>(&failure) != nullptr)
    return Error("text_encoding", "Native process text must contain valid Unicode");
  if (dynamic_cast<const std::length_error*>(&failure) != nullptr ||
      dynamic_cast<const std::bad_alloc*>(&failure) != nullptr)
    return Error("size_limit", "Data exceeds the size this program can hold");
  return std::nullopt;
}

std::filesystem::path default_data_root() { return local_app_data_folder() / "Tovra"; }

std::filesystem::path default_package_directory(const std::filesystem::path& executable) {
  const std::filesystem::path folder = executable.parent_path() / "initial-package";
  std::error_code error;
  return std::filesystem::is_directory(folder, error) ? folder : std::filesystem::path();
}

int run_installer(const std::vector<std::string>& arguments, std::string_view program_name, std::string_view seal,
                  std::function<bool()> cancelled, std::ostream& out, std::ostream& err,
                  const CommandRunner& runner, bool live_progress) {
  product_name = "Tovra";
  product_icon.clear();
  product_theme.reset();
  bool json = false;  // problems before parsing finishes are always printed as text
  const ConsolePhasePrinter phases(err, live_progress);
  const auto report = [&](const Error& error) {
    phases.finish();
    if (json)
      out << problem_document(error).dump(-1, ' ', false, Json::error_handler_t::replace) << '\n' << std::flush;
    err << error.what() << '\n' << std::flush;
    return exit_code_for(error);
  };
  try {
    const std::filesystem::path default_root = default_data_root();
    SetupCommand command = parse_setup_command(arguments, default_root);
    json = command.json;
    if (command.help) {
      out << usage_text(program_name, program_name == kInstallerProgramName) << std::flush;
      require(out.good(), "file_write", "Cannot write the result to standard output");
      return 0;
    }

    const std::filesystem::path executable = current_executable_path();
    require_finished_image(executable);
    if (is_install_or_repair(command.command)) {
      require(program_name == kInstallerProgramName, "usage", "Use the Tovra installer to install or repair Tovra");
      if (command.package.empty()) command.package = default_package_directory(executable);
    }
    settle_presentation(command, seal, default_root);

    const NativeSetupCallbacks callbacks = console_callbacks(json, std::move(cancelled), phases);
    const Json document = runner(command, seal, callbacks);
    phases.finish();
    // Render completely before printing, so a failure leaves standard output untouched.
    const std::string line = json ? serialize_document(document) : result_text(command.command, document);
    out << line << '\n' << std::flush;
    // A result nobody can read (a full disk, a closed stream) is not a success.
    require(out.good(), "file_write", "Cannot write the result to standard output");
    return 0;
  } catch (const Error& error) {
    return report(error);
  } catch (const std::exception& failure) {
    // Library failures that no reader converted still reach the user as problems.
    if (const std::optional<Error> problem = as_problem(failure)) return report(*problem);
    phases.finish();
    err << failure.what() << '\n' << std::flush;
    return 1;
  }
}

}  // namespace tovra
