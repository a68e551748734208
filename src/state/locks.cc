#include "state/locks.h"

#include <string>
#include <vector>
#include <thread>

#include "core/error.h"
#include "core/paths.h"
#include "platform/directory_listing.h"
#include "platform/read_file.h"
#include "state/data_root.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void waiting_step(Clock::time_point deadline, const CancellationCheck& check) {
  require(Clock::now() < deadline, "tovra_running",
          "Tovra or a game from this folder is still running; close it and try again");
  if (check) check();
  std::this_thread::sleep_for(kLeasePollInterval);
}

constexpr std::size_t kMaxLeases = 4096;

// Lease names in directory order; none when the folder is not a plain directory.
std::vector<std::string> lease_names(const fs::path& folder) {
  std::vector<std::string> names;
  if (path_kind(folder) != PathKind::directory) return names;
  list_directory(folder, [&](const DirectoryEntry& entry) {
    require(names.size() < kMaxLeases, "size_limit", "Too many running Tovra leases");
    names.push_back(entry.name);
    return true;
  });
  return names;
}

}  // namespace

NativeFileLock setup_lock(const DataRootLayout& layout) {
  return NativeFileLock::acquire(layout.setup_lock, true, true, false);
}

OperationLock shortcut_lock(const fs::path& data_root, const CancellationCheck& check) {
  // Polled: a blocking lock call is restarted after Ctrl+C, so it could never be cancelled.
  for (;;) {
    try {
      return operation_lock(data_root / "native" / "shortcuts.lock", false, false);
    } catch (const Error& error) {
      if (error.code() != "busy") throw;
    }
    if (check) check();
    std::this_thread::sleep_for(kLeasePollInterval);
  }
}

NativeFileLock wait_until_idle(const DataRootLayout& layout, std::chrono::milliseconds timeout,
                               const CancellationCheck& check) {
  const Clock::time_point deadline = Clock::now() + timeout;
  NativeFileLock lease;
  while (!lease.held()) {
    try {
      lease = NativeFileLock::acquire(layout.bootstrap_lock, true, false, false);
    } catch (const Error& error) {
      if (error.code() != "busy") throw;
      waiting_step(deadline, check);
    }
  }
  // Each running launcher or game holds its version lease; a probe that gets it proves it ended.
  const fs::path versions = layout.launcher / "leases" / "versions";
  for (const std::string& name : lease_names(versions)) {
    for (;;) {
      try {
        OperationLock probe = operation_lock(versions / native_path(name), false, false);
        break;  // released at once: waiting never holds a probe
      } catch (const Error& error) {
        if (error.code() != "busy") throw;  // the lease is released by unwinding
        waiting_step(deadline, check);
      }
    }
  }
  return lease;
}

}  // namespace tovra
