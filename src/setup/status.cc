// Status: what a data folder holds, read without locks and without changing anything.

#include "core/json.h"
#include "package/release_manifest.h"
#include "platform/read_file.h"
#include "setup/workflows.h"
#include "shortcuts/ledger.h"
#include "state/data_root.h"
#include "state/launcher_store.h"
#include "state/records.h"

namespace tovra {

StatusResult setup_status(const std::filesystem::path& data_dir) {
  const DataRootLayout layout = data_root_layout(normalize_data_root(data_dir));
  StatusResult result;
  result.data_root = layout.root;
  result.incomplete = path_kind(layout.setup_incomplete_marker) != PathKind::missing;
  result.installed = path_kind(layout.installation_record) != PathKind::missing && !result.incomplete;
  if (!result.installed) return result;
  read_installation_record(layout);

  result.bootstrap_build =
      parse_bootstrap_manifest(read_bounded_file(layout.bootstrap_manifest, manifest_read_limit)).build_id;
  try {
    const Json state = LauncherStore::open(layout.root).read_state_with_installed();
    const Json& reference = state.at("active").is_null() ? state.at("candidate") : state.at("active");
    if (!reference.is_null()) result.launcher_build = reference.at("build_id").get<std::string>();
  } catch (const std::exception&) {
    // A store that cannot be read only leaves the launcher build unknown.
  }
  result.bootstrap_update_pending = path_kind(layout.native / "bootstrap-update.json") != PathKind::missing;
  for (const ShortcutEntry& entry : read_shortcut_ledger(layout.root)) result.shortcuts.push_back(entry.path);
  if (auto last = read_setup_status(layout))
    result.last_operation = LastOperation{last->action, last->outcome, last->message, last->finished_at};
  return result;
}

}  // namespace tovra
