#pragma once
// The setup workflows as the front end calls them: their requests, the callbacks they receive,
// the results they return, and the process-wide presentation state they read. The shortcut
// commands live with the shortcuts (shortcuts/shortcuts.h).
// Everything except the workflow functions themselves is header-only.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/digest.h"
#include "core/error.h"
#include "package/theme.h"
#include "state/records.h"

namespace tovra {

// Presentation state: set by the front end before a command runs, read afterwards.
inline std::string product_name = "Tovra";
inline std::filesystem::path product_icon;
// The installed theme, when one was loaded; otherwise the built-in theme is in force.
inline std::optional<Theme> product_theme;

struct NativeInstallRequest {
  std::filesystem::path package;
  std::filesystem::path data_dir;
  bool repair = false;
  bool create_shortcut = true;
};

struct NativeUninstallRequest {
  std::filesystem::path data_dir;
  bool remove_data = false;
  unsigned busy_timeout_ms = 15000;
};

// (done, total) -> continue? What long operations (hashing, extraction, verification) receive.
using ProgressAndContinue = HashProgress;

struct NativeSetupCallbacks {
  // (phase, done, total); empty in JSON mode.
  std::function<void(std::string_view, std::uint64_t, std::uint64_t)> progress;
  // True once cancellation was requested; may be empty.
  std::function<bool()> cancelled;
};

// Inside a long operation: stop at this boundary when the caller's callable says so.
inline void check_safe_boundary(const ProgressAndContinue& progress, std::uint64_t done, std::uint64_t total) {
  if (progress && !progress(done, total)) throw Error("cancelled", "Operation cancelled at a safe boundary");
}

// How a workflow reports its phase and honours cancellation at its step boundaries.
class Cancellation {
 public:
  explicit Cancellation(const NativeSetupCallbacks& callbacks) : callbacks_(callbacks) {}

  void report(std::string_view phase, std::uint64_t done, std::uint64_t total) const {
    if (callbacks_.progress) callbacks_.progress(phase, done, total);
  }

  void check() const {
    if (callbacks_.cancelled && callbacks_.cancelled()) throw Error("cancelled", "Setup was cancelled");
  }

  // A progress-and-continue callable for long operations in `phase`. The callable refers to
  // the callbacks, which must outlive it.
  ProgressAndContinue progress(std::string phase) const {
    const NativeSetupCallbacks* callbacks = &callbacks_;
    return [callbacks, phase = std::move(phase)](std::uint64_t done, std::uint64_t total) {
      if (callbacks->progress) callbacks->progress(phase, done, total);
      return !(callbacks->cancelled && callbacks->cancelled());
    };
  }

 private:
  const NativeSetupCallbacks& callbacks_;
};

struct InstallResult {
  std::filesystem::path data_root;
  std::filesystem::path bootstrap;  // the installed bootstrap executable
  bool repaired = false;
  std::vector<std::string> replaced;  // subset of "bootstrap", "launcher", "trust", in that order
  std::vector<std::filesystem::path> shortcuts;
  std::string shortcut_problem;  // empty when the shortcut step succeeded
};

// The last install or repair, as its setup-status record tells it.
using LastOperation = SetupStatus;

struct StatusResult {
  std::filesystem::path data_root;
  bool installed = false;
  bool incomplete = false;
  std::string bootstrap_build;
  std::string launcher_build;
  bool bootstrap_update_pending = false;
  std::vector<std::filesystem::path> shortcuts;
  std::optional<LastOperation> last_operation;
};

struct UninstallResult {
  std::filesystem::path data_root;
  bool data_removed = false;
  std::vector<std::filesystem::path> kept;
  std::vector<std::filesystem::path> deferred;
  std::vector<std::filesystem::path> changed_shortcuts;
};

class NativeInstaller {
 public:
  // Installs or repairs the data folder from the sealed package.
  static InstallResult install(const NativeInstallRequest& request, std::string_view seal,
                               const NativeSetupCallbacks& callbacks);
};

// Removes the installation, keeping saves and settings unless asked.
UninstallResult uninstall(const NativeUninstallRequest& request, const NativeSetupCallbacks& callbacks);

// Reports what the data folder holds, without locks and without changing it.
StatusResult setup_status(const std::filesystem::path& data_dir);

}  // namespace tovra
