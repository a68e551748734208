#pragma once

namespace tovra {

// Runs the installer for this process's command line and returns the exit status.
int installer_main(int argc, char** argv, const char* package_seal);

}  // namespace tovra
