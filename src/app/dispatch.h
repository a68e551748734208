#pragma once
// Dispatch: from the arguments to one printed result (or problem) and an exit code.

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/setup_command.h"
#include "core/error.h"
#include "core/json.h"
#include "setup/workflows.h"

namespace tovra {

inline constexpr std::string_view kInstallerProgramName = "tovra-install";

// Runs one parsed command and returns its result document.
Json run_setup_command(const SetupCommand& command, std::string_view seal, const NativeSetupCallbacks& callbacks);

using CommandRunner = std::function<Json(const SetupCommand&, std::string_view, const NativeSetupCallbacks&)>;

// The problem a library exception stands for (a file system failure, text that is not UTF-8, a
// size beyond what memory holds), or nothing for other exceptions.
std::optional<Error> as_problem(const std::exception& failure);

// 2 for `usage`, 4 for `cancelled`, 1 otherwise.
int exit_code_for(const Error& error);

// The local application data folder joined with "Tovra".
std::filesystem::path default_data_root();

// "initial-package" beside the executable when that is a directory, otherwise empty.
std::filesystem::path default_package_directory(const std::filesystem::path& executable);

// Everything after reading the arguments: prints exactly one result, usage text or problem
// document on `out`, phase lines and problem messages on `err`, and returns the exit code.
// `live_progress`: `err` is a terminal, so text-mode phase lines show progress in place.
int run_installer(const std::vector<std::string>& arguments, std::string_view program_name, std::string_view seal,
                  std::function<bool()> cancelled, std::ostream& out, std::ostream& err,
                  const CommandRunner& runner = CommandRunner(run_setup_command), bool live_progress = false);

}  // namespace tovra
