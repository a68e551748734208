// Uninstall: remove the installation under the incomplete marker, keep saves and settings unless
// asked, and hand files that are still in use to a removal that runs after this process exits.

#include <chrono>
#include <string>

#include "core/digest.h"
#include "core/error.h"
#include "core/paths.h"
#include "platform/delayed_removal.h"
#include "platform/directory_listing.h"
#include "platform/durable.h"
#include "platform/entries.h"
#include "platform/read_file.h"
#include "platform/uninstall_entry.h"
#include "setup/workflow_steps.h"
#include "setup/workflows.h"
#include "shortcuts/shortcuts.h"
#include "shortcuts/uninstall_registration.h"
#include "state/data_root.h"
#include "state/locks.h"
#include "state/records.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;

fs::path choose_quarantine(const fs::path& data_root) {
  const std::string name = "tovra-removed-" + random_identifier();
  if (const auto temporary = temporary_folder_on_volume_of(data_root)) return *temporary / native_path(name);
  return data_root.parent_path() / native_path(name);
}

bool folder_is_empty(const fs::path& folder) {
  bool empty = true;
  list_directory(folder, [&](const DirectoryEntry&) {
    empty = false;
    return false;
  });
  return empty;
}

// The entries of the data folder that uninstall removes, in listing order; those kept are
// appended to `kept`.
std::vector<std::string> removed_entries(const fs::path& data_root, bool remove_data, std::vector<fs::path>& kept) {
  std::vector<std::string> names;
  list_directory(data_root, [&](const DirectoryEntry& entry) {
    const std::string& name = entry.name;
    if (name == ".tovra-setup.lock" || name == kSetupIncompleteMarkerName || name == ".native-bootstrap.lock")
      return true;
    if (!remove_data && (name == "userdata" || name == "settings.json"))
      kept.push_back(data_root / native_path(name));
    else
      names.push_back(name);
    return true;
  });
  return names;
}

}  // namespace

void remove_data_entries(const fs::path& data_root, bool remove_data, const fs::path& quarantine,
                         std::vector<fs::path>& kept, std::vector<fs::path>& deferred) {
  for (const std::string& name : removed_entries(data_root, remove_data, kept))
    remove_path_or_quarantine(data_root / native_path(name), quarantine, deferred);
}

UninstallResult uninstall(const NativeUninstallRequest& request, const NativeSetupCallbacks& callbacks) {
  const Cancellation cancellation(callbacks);
  const DataRootLayout layout = data_root_layout(normalize_data_root(request.data_dir));
  const fs::path& root = layout.root;
  require(path_kind(layout.installation_record) != PathKind::missing ||
              path_kind(layout.setup_incomplete_marker) != PathKind::missing,
          "not_installed", "Tovra is not installed in " + utf8_path(root));

  UninstallResult result;
  result.data_root = root;
  const fs::path quarantine = choose_quarantine(root);
  // A folder that cannot be removed (a mounted file system) stops the run before anything changes.
  std::vector<fs::path> unused;
  for (const std::string& name : removed_entries(root, request.remove_data, unused)) inspect_removal(root / name);

  NativeFileLock setup = setup_lock(layout);
  NativeFileLock lease =
      wait_until_idle(layout, std::chrono::milliseconds(request.busy_timeout_ms), [&] { cancellation.check(); });
  cancellation.check();
  cancellation.report("removing", 0, 0);

  write_incomplete_marker(layout);
  const std::optional<Brand> brand = read_installed_brand(root);
  require(remove_entry(layout.installation_record), "file_remove",
          "Cannot remove " + utf8_path(layout.installation_record));
  try {
    remove_uninstall_entry(uninstall_entry_name(brand ? std::optional<std::string>(brand->id) : std::nullopt));
  } catch (const std::exception&) {
    // The entry name of an unreadable brand cannot be formed; nothing was registered under it.
  }
  try {
    result.changed_shortcuts = remove_recorded_shortcuts(root, [&] { cancellation.check(); }).changed;
  } catch (const Error& error) {
    // Shortcuts that cannot be proven ours stay where they are; a cancelled wait ends the run.
    if (error.code() == "cancelled") throw;
  } catch (const std::exception&) {
  }
  remove_data_entries(root, request.remove_data, quarantine, result.kept, result.deferred);

  lease.release();
  setup.release();
  remove_entry(layout.bootstrap_lock);
  remove_entry(layout.setup_lock);
  require(remove_entry(layout.setup_incomplete_marker), "file_remove",
          "Cannot remove " + utf8_path(layout.setup_incomplete_marker));

  if (request.remove_data || folder_is_empty(root)) remove_entry(root);
  if (!result.deferred.empty()) schedule_folder_removal(quarantine);
  result.data_removed = path_kind(root) == PathKind::missing;
  cancellation.report("removing", 1, 1);
  return result;
}

}  // namespace tovra
