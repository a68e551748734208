// Install and repair: verify everything, stage replacements privately, then commit by swapping
// whole folders while the incomplete marker is on disk.

#include <chrono>
#include <optional>
#include <string>

#include "core/error.h"
#include "core/json.h"
#include "core/paths.h"
#include "package/brand.h"
#include "package/initial_package.h"
#include "package/release_manifest.h"
#include "platform/directory_listing.h"
#include "platform/durable.h"
#include "platform/entries.h"
#include "platform/read_file.h"
#include "platform/storage.h"
#include "setup/workflows.h"
#include "setup/workflow_steps.h"
#include "shortcuts/shortcuts.h"
#include "shortcuts/uninstall_registration.h"
#include "snapshot/extract.h"
#include "snapshot/tree.h"
#include "state/data_root.h"
#include "state/launcher_store.h"
#include "state/locks.h"
#include "state/records.h"
#include "trust/trusted_root.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
using windows_security::ensure_private_directory;

constexpr std::string_view kSetupLockName = ".tovra-setup.lock";

bool exists_in_any_form(const fs::path& path) { return path_kind(path) != PathKind::missing; }

void remove_tree_quietly(const fs::path& path) noexcept {
  try {
    remove_tree(path);
  } catch (...) {
    // Best effort: what stays is reported by the next run.
  }
}

// Install accepts an empty folder or one that already looks like a data folder.
void require_usable_folder(const fs::path& root) {
  bool other_entries = false;
  bool data_folder_entry = false;
  list_directory(root, [&](const DirectoryEntry& entry) {
    if (entry.name == kSetupLockName) return true;
    other_entries = true;
    for (std::string_view marker : kDataFolderMarkerNames)
      if (entry.name == marker) data_folder_entry = true;
    return true;
  });
  require(!other_entries || data_folder_entry, "unsafe_path", "Choose an empty folder or an earlier Tovra data folder");
}

void apply_existing_folder_rules(const DataRootLayout& layout, bool repair) {
  const bool marker = exists_in_any_form(layout.setup_incomplete_marker);
  bool installed = exists_in_any_form(layout.installation_record) && !marker;
  if (installed) read_installation_record(layout);
  const std::string root = utf8_path(layout.root);
  if (repair) {
    require(installed || marker, "not_installed", "Tovra is not installed in " + root);
    return;
  }
  require(!installed, "already_installed", "Tovra is already installed in " + root + "; use repair");
  require_usable_folder(layout.root);
}

// Replaces `destination` (when present in any form) by `staged`, keeping the previous one at `backup`.
void swap_in(const fs::path& staged, const fs::path& destination, const fs::path& backup) {
  if (exists_in_any_form(destination)) move_entry(destination, backup);
  move_entry(staged, destination);
}

void clear_bootstrap_update_leftovers(const DataRootLayout& layout) {
  for (const char* tree : {"bootstrap-update", "bootstrap-update.partial", "bootstrap-downloads"})
    remove_tree_quietly(layout.native / tree);
  for (const char* entry : {"bootstrap-update.json", "bootstrap-update.rejected", "bootstrap-old-files"}) {
    const fs::path path = layout.native / entry;
    if (path_kind(path) == PathKind::directory)
      remove_tree_quietly(path);
    else
      remove_entry(path);
  }
}

void install_theme(const DataRootLayout& layout, const InitialPackage& package) {
  const fs::path staged = layout.staging / "theme";
  const fs::path installed = layout.native / "theme";
  if (exists_in_any_form(staged)) remove_tree(staged);
  if (package.theme.empty()) {
    if (exists_in_any_form(installed)) remove_tree(installed);
    return;
  }
  ensure_private_directory(staged);
  write_private_file(staged / "theme.json", package.theme.definition);
  for (const auto& [name, bytes] : package.theme.files) write_private_file(managed_path(staged, name, true), bytes);
  swap_in(staged, installed, layout.staging / "old-theme");
}

void clean_up_failed_install(const DataRootLayout& layout, bool fresh) noexcept {
  if (fresh) {
    remove_tree_quietly(layout.root);
    return;
  }
  remove_tree_quietly(layout.staging);
  if (exists_in_any_form(layout.setup_incomplete_marker) || exists_in_any_form(layout.installation_record)) return;
  remove_tree_quietly(layout.native);
  remove_entry(layout.setup_lock);
  remove_entry(layout.bootstrap_lock);
}

fs::path package_archive(const InitialPackage& package, const SnapshotManifest& manifest) {
  return managed_path(package.root, manifest.target, true);
}

}  // namespace

bool is_within(const fs::path& a, const fs::path& b) {
  const fs::path relative = a.lexically_relative(b);
  return !relative.empty() && *relative.begin() != "..";
}

bool trust_intact(const DataRootLayout& layout) {
  try {
    parse_json(read_bounded_file(layout.trust / trusted_root_file, manifest_read_limit), manifest_read_limit);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

InstallResult NativeInstaller::install(const NativeInstallRequest& request, std::string_view seal,
                                       const NativeSetupCallbacks& callbacks) {
  const std::string action = request.repair ? "repair" : "install";
  const Cancellation cancellation(callbacks);

  // Verification: nothing in the data folder changes before the package and folder pass.
  cancellation.report("verifying", 0, 0);
  const InitialPackage package = load_initial_package(request.package, seal, cancellation.progress("verifying"));
  const DataRootLayout layout = data_root_layout(normalize_data_root(request.data_dir));
  const fs::path& root = layout.root;
  require(!is_within(root, package.root) && !is_within(package.root, root), "unsafe_path",
          "The package and data folders overlap");
  require_short_paths(root, root / "native/staging/launcher-root/launcher/versions" / std::string(64, '0'),
                      longest_path_length(package.launcher));
  require_short_paths(root, root / "native/bootstrap-update.partial", longest_path_length(package.bootstrap));

  bool fresh = false;
  if (exists_in_any_form(root)) {
    apply_existing_folder_rules(layout, request.repair);
  } else {
    require(!request.repair, "not_installed", "Tovra is not installed in " + utf8_path(root));
    fresh = true;
  }
  ensure_private_directory(root);

  InstallResult result;
  NativeFileLock setup;
  NativeFileLock lease;
  try {
    setup = setup_lock(layout);
    ensure_private_directory(layout.native);
    lease = wait_until_idle(layout, std::chrono::milliseconds(0), [&] { cancellation.check(); });

    const bool replace_bootstrap = !request.repair || !bootstrap_intact(layout.bootstrap_dir, layout.bootstrap_manifest);
    const bool replace_launcher = !launcher_intact(root);
    const bool replace_trust = !trust_intact(layout);

    // Staging: every replacement is built whole before anything installed changes.
    remove_tree_quietly(layout.staging);
    ensure_private_directory(layout.staging);
    if (replace_bootstrap) {
      extract_snapshot(package.bootstrap, package_archive(package, package.bootstrap), layout.staging / "bootstrap",
                       cancellation.progress("installing"));
      verify_snapshot_tree(package.bootstrap, layout.staging / "bootstrap");
    }
    cancellation.check();
    if (replace_launcher) {
      seed_initial_launcher(layout.staging / "launcher-root", package.launcher_manifest_bytes,
                            package_archive(package, package.launcher), cancellation.progress("installing"));
    }
    cancellation.check();
    if (replace_trust) {
      ensure_private_directory(layout.staging / "trust");
      initialize_trusted_root(layout.staging / "trust", package.root_metadata);
    }
    cancellation.check();

    // Commit: the marker makes an interruption from here on visible to every later run.
    write_incomplete_marker(layout);
    if (replace_bootstrap) {
      swap_in(layout.staging / "bootstrap", layout.bootstrap_dir, layout.staging / "old-bootstrap");
      write_private_file(layout.bootstrap_manifest, package.bootstrap_manifest_bytes);
      clear_bootstrap_update_leftovers(layout);
    }
    if (replace_launcher)
      swap_in(layout.staging / "launcher-root/launcher", layout.launcher, layout.staging / "old-launcher");
    if (replace_trust) swap_in(layout.staging / "trust", layout.trust, layout.staging / "old-trust");
    write_repository_config(layout.repository_config, layout.repository_ca, package.origin, package.ca_bundle);
    if (!package.icon.empty())
      write_private_file(brand_icon_path(layout.root), package.icon);
    else
      remove_entry(layout.native / "brand.ico");
    install_theme(layout, package);
    write_installation_record(layout, package);
    remove_tree(layout.staging);
    require(remove_entry(layout.setup_incomplete_marker), "file_remove",
            "Cannot remove " + utf8_path(layout.setup_incomplete_marker));

    result.data_root = root;
    result.repaired = request.repair;
    if (replace_bootstrap) result.replaced.emplace_back("bootstrap");
    if (replace_launcher) result.replaced.emplace_back("launcher");
    if (replace_trust) result.replaced.emplace_back("trust");
    const SnapshotManifest installed =
        parse_bootstrap_manifest(read_bounded_file(layout.bootstrap_manifest, manifest_read_limit));
    result.bootstrap = managed_path(layout.bootstrap_dir, installed.executable, true);
  } catch (const std::exception& problem) {
    if (request.repair) {
      write_setup_status(layout, action, "failed", problem.what());
    } else {
      // Windows cannot remove a lock file while it is held open.
      lease.release();
      setup.release();
      clean_up_failed_install(layout, fresh);
    }
    throw;
  }
  lease.release();
  setup.release();

  InstallShortcutRequest shortcut_request;
  shortcut_request.repair = request.repair;
  shortcut_request.create_shortcut = request.create_shortcut;
  if (package.brand) shortcut_request.brand_name = package.brand->name;
  shortcut_request.featured_game = package.featured_game.has_value();
  create_install_shortcuts(layout, shortcut_request, result.shortcuts, result.shortcut_problem,
                           [&] { cancellation.check(); });
  register_uninstall_entry(layout, package.brand, result.shortcut_problem);
  write_setup_status(layout, action, "succeeded", result.shortcut_problem);
  return result;
}

}  // namespace tovra
