#pragma once
// The lock files of a data folder: the setup lock, the bootstrap lease with the version-lease
// probes that prove no platform process or game runs, and the shortcut ledger lock.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>

#include "platform/file_lock.h"

namespace tovra {

struct DataRootLayout;

// One waiting step of the lease loop: 100 ms.
inline constexpr std::chrono::milliseconds kLeasePollInterval{100};

// Raises `cancelled` when the run was asked to stop (the workflow's cancellation check).
using CancellationCheck = std::function<void()>;

// ".tovra-setup.lock", taken at once or busy "Another worker owns this native installation".
NativeFileLock setup_lock(const DataRootLayout& layout);

// The exclusive operation lock "native/shortcuts.lock" below the data root, waited for until it is
// granted: retried every 100 ms, with `check` run before each sleep.
OperationLock shortcut_lock(const std::filesystem::path& data_root, const CancellationCheck& check = {});

// Takes the bootstrap lock and probes every lease in "launcher/leases/versions", retrying busy
// ones every 100 ms until `timeout` has passed (then tovra_running). The check runs before each
// sleep. The caller holds the returned lease until its work is done.
NativeFileLock wait_until_idle(const DataRootLayout& layout, std::chrono::milliseconds timeout,
                               const CancellationCheck& check);

}  // namespace tovra
