#include "app/entry.h"

#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "app/dispatch.h"
#include "core/digest.h"
#include "platform/command_line.h"
#include "platform/console.h"

namespace tovra {

int installer_main(int argc, char** argv, const char* package_seal) {
  // Failures before dispatch cannot know the JSON flag yet: they are reported as text.
  std::optional<ConsoleCancellation> cancellation;
  std::vector<std::string> arguments;
  use_binary_standard_streams();
  try {
    cancellation.emplace();
    arguments = read_native_arguments(argc, argv);
    initialize_crypto();
  } catch (const Error& error) {
    std::cerr << error.what() << '\n' << std::flush;
    return exit_code_for(error);
  } catch (const std::exception& failure) {
    std::cerr << failure.what() << '\n' << std::flush;
    return 1;
  }
  return run_installer(arguments, kInstallerProgramName, package_seal == nullptr ? "" : package_seal,
                       cancellation->predicate(), std::cout, std::cerr, CommandRunner(run_setup_command),
                       standard_error_is_terminal());
}

}  // namespace tovra
