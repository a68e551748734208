#pragma once
// Deleting a folder after this process has exited, for files that were still in use.
// POSIX: a detached `/bin/sh -c 'sleep 3; rm -rf -- "$1"'` started with posix_spawn in a new
// session with its standard streams on /dev/null. Windows: `cmd.exe /d /q /c "ping ... & rd /s /q"`
// from the system directory, started with CREATE_BREAKAWAY_FROM_JOB | CREATE_NO_WINDOW.

#include <filesystem>
#include <optional>

namespace tovra {

// Starts the detached removal of `folder`. process_start "Cannot locate the Windows system
// directory" when the interpreter cannot be found; a process that cannot be started is not reported.
void schedule_folder_removal(const std::filesystem::path& folder);

// The system temporary folder when it lies on the same volume ("drive") as the data root's nearest
// existing ancestor, so a file can be renamed into it; nothing otherwise.
// POSIX: /tmp on the same st_dev and mount (a rename crosses neither); Windows: the temporary
// path with the same root name.
std::optional<std::filesystem::path> temporary_folder_on_volume_of(const std::filesystem::path& data_root);

}  // namespace tovra
