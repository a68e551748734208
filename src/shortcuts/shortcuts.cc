#include "shortcuts/shortcuts.h"

#include <algorithm>

#include "core/digest.h"
#include "core/error.h"
#include "core/json.h"
#include "core/paths.h"
#include "package/release_manifest.h"
#include "platform/known_folders.h"
#include "platform/read_file.h"
#include "platform/storage.h"
#include "state/data_root.h"
#include "state/locks.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;

bool valid_brand_name(std::string_view name) {
  try {
    check_brand_name(name);
    return true;
  } catch (const std::exception&) {
    return false;  // the hashed name is used instead
  }
}

}  // namespace

std::string hashed_shortcut_name(std::string_view root_identity, std::string_view game) {
  const std::string identity = windows_security::generic_identity(root_identity);
  return "tovra-" + digest_hex(identity, "sha256") + (game.empty() ? "-launcher" : "-game-" + std::string(game));
}

// Compared in generic form, so one separator serves every platform; a folder's own identity may
// already end in one.
bool identity_within(std::string_view inner, std::string_view outer) {
  const std::string file = windows_security::generic_identity(inner);
  std::string folder = windows_security::generic_identity(outer);
  if (file == folder) return true;
  if (folder.empty() || folder.back() != '/') folder += '/';
  return file.starts_with(folder);
}

fs::path start_menu_programs() { return checked_shortcut_path(start_menu_programs_folder()); }

fs::path start_menu_shortcut_path(const fs::path& data_root, std::string_view game, std::string_view name) {
  if (!game.empty()) check_identifier(game);
  const fs::path root = checked_shortcut_path(fs::absolute(data_root).lexically_normal());
  const std::string identity = windows_security::destination_identity(root, true);
  std::string file;
  if (!name.empty() && valid_brand_name(name)) {
    file = std::string(name);
  } else {
    file = hashed_shortcut_name(identity, game);
  }
  file += launcher_entry_extension();
  return checked_shortcut_path(start_menu_programs() / native_path(file));
}

void require_plain_shortcut_path(const fs::path& path, bool expect_directory) {
  const fs::path normal = fs::absolute(path).lexically_normal();
  std::vector<fs::path> components;
  for (const fs::path& part : normal.relative_path()) {
    if (!part.empty()) components.push_back(part);
  }
  fs::path current = normal.root_path();
  for (std::size_t i = 0; i < components.size(); ++i) {
    current /= components[i];
    const bool last = i + 1 == components.size();
    const PathKind kind = path_kind(current);
    if (kind == PathKind::missing && last) return;
    require(kind != PathKind::link, "unsafe_path", "Shortcut path contains a symbolic link");
    const PathKind wanted = (last && !expect_directory) ? PathKind::file : PathKind::directory;
    require(kind == wanted, "shortcut_path", "Shortcut paths need existing plain files and directories");
  }
}

void require_shortcut_parent(const fs::path& destination) {
  const fs::path parent = fs::absolute(destination).lexically_normal().parent_path();
  if (path_kind(parent) != PathKind::missing) {
    require_plain_shortcut_path(parent, true);
    return;
  }
  require(parent == start_menu_programs(), "shortcut_path",
          "Custom shortcut destinations require an existing parent directory");
  windows_security::ensure_private_directory(parent);
}

bool inside_data_folder(const fs::path& destination, const fs::path& data_root) {
  const std::string file = windows_security::destination_identity(destination, false);
  const std::string root = windows_security::destination_identity(data_root, true);
  return identity_within(file, root);
}

ShortcutEntry create_recorded_shortcut(const DesktopShortcut& shortcut, const fs::path& destination) {
  const fs::path path = checked_shortcut_path(destination);
  require_shortcut_parent(path);
  create_launcher_entry(shortcut, path);
  return {path, shortcut.game_id, shortcut.name,
          digest_hex(read_bounded_file(path, kShortcutFileLimit), "sha256")};
}

void record_shortcut(const DesktopShortcut& shortcut, const fs::path& destination, const CancellationCheck& check) {
  const fs::path root = checked_shortcut_path(shortcut.data_root);
  require_setup_finished(root);
  const fs::path path = checked_shortcut_path(destination);
  require(!inside_data_folder(path, root), "shortcut_path", "Shortcuts must be outside the data folder");

  OperationLock lock = shortcut_lock(root, check);
  std::vector<ShortcutEntry> entries = read_shortcut_ledger(root);
  const auto found = std::find_if(entries.begin(), entries.end(),
                                  [&](const ShortcutEntry& entry) { return entry.path.compare(path) == 0; });
  if (found != entries.end() && shortcut_unchanged(*found)) return;
  require(found != entries.end() || entries.size() < kMaxShortcutEntries, "size_limit",
          "Too many recorded shortcuts");
  // A recorded file that exists with other content makes the writer refuse: it stays untouched.
  ShortcutEntry created = create_recorded_shortcut(shortcut, path);
  if (found != entries.end()) {
    *found = std::move(created);
  } else {
    entries.push_back(std::move(created));
  }
  write_shortcut_ledger(root, entries);
}

std::vector<fs::path> restore_missing_shortcuts(const fs::path& data_root, const fs::path& bootstrap,
                                                const CancellationCheck& check) {
  OperationLock lock = shortcut_lock(data_root, check);
  std::vector<ShortcutEntry> entries = read_shortcut_ledger(data_root);
  std::vector<fs::path> restored;
  for (ShortcutEntry& entry : entries) {
    if (path_kind(entry.path) != PathKind::missing) continue;  // present or edited: left alone
    entry = create_recorded_shortcut({bootstrap, data_root, entry.game, entry.name}, entry.path);
    restored.push_back(entry.path);
  }
  write_shortcut_ledger(data_root, entries);
  return restored;
}

ShortcutRemoval remove_recorded_shortcuts(const fs::path& data_root, const CancellationCheck& check) {
  ShortcutRemoval result;
  if (path_kind(data_root / "native") != PathKind::directory) return result;
  OperationLock lock = shortcut_lock(data_root, check);
  for (const ShortcutEntry& entry : read_shortcut_ledger(data_root)) {
    if (path_kind(entry.path) == PathKind::missing) continue;
    if (shortcut_unchanged(entry)) {
      remove_launcher_file(entry.path);
      result.removed.push_back(entry.path);
    } else {
      result.changed.push_back(entry.path);
    }
  }
  write_shortcut_ledger(data_root, {});
  return result;
}

fs::path installed_program(const DataRootLayout& layout) {
  const SnapshotManifest manifest =
      parse_bootstrap_manifest(read_bounded_file(layout.bootstrap_manifest, manifest_read_limit));
  return managed_path(layout.bootstrap_dir, bootstrap_shortcut_program(manifest), true);
}

namespace {

DataRootLayout installed_layout(const fs::path& data_folder) {
  DataRootLayout layout = data_root_layout(normalize_data_root(data_folder));
  require(path_kind(layout.installation_record) != PathKind::missing, "not_installed",
          "Tovra is not installed in " + utf8_path(layout.root));
  return layout;
}

}  // namespace

fs::path create_shortcut_command(const fs::path& data_folder, std::string_view game, std::string_view product_name,
                                 const CancellationCheck& check) {
  const DataRootLayout layout = installed_layout(data_folder);
  const std::string name(game.empty() ? product_name : game);
  const fs::path destination = start_menu_shortcut_path(layout.root, game, name);
  record_shortcut({installed_program(layout), layout.root, std::string(game), name}, destination, check);
  return destination;
}

ShortcutRemoval remove_shortcuts_command(const fs::path& data_folder, const CancellationCheck& check) {
  return remove_recorded_shortcuts(installed_layout(data_folder).root, check);
}

void create_install_shortcuts(const DataRootLayout& layout, const InstallShortcutRequest& request,
                              std::vector<fs::path>& shortcuts, std::string& shortcut_problem,
                              const CancellationCheck& check) {
  try {
    const fs::path program = installed_program(layout);
    if (request.repair) {
      for (fs::path& path : restore_missing_shortcuts(layout.root, program, check)) shortcuts.push_back(std::move(path));
      return;
    }
    if (!request.create_shortcut || (request.brand_name && request.featured_game)) return;
    const std::string name = request.brand_name.value_or("Tovra");
    const fs::path destination = start_menu_shortcut_path(layout.root, "", name);
    record_shortcut({program, layout.root, "", name}, destination, check);
    shortcuts.push_back(destination);
  } catch (const std::exception& error) {
    shortcut_problem = error.what();
  }
}

}  // namespace tovra
