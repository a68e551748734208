#pragma once
// Where launcher entries go and what they are called; creating them through the platform writer
// and recording them in the ledger; restoring recorded ones that vanished; removing recorded ones
// that are still exactly as written while leaving changed ones in place.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/launcher_entry.h"
#include "shortcuts/ledger.h"
#include "state/locks.h"

namespace tovra {

struct DataRootLayout;

// The user's menu folder, validated as a shortcut path.
std::filesystem::path start_menu_programs();

// The display name + extension when it is a valid brand name, otherwise the hashed form
// "tovra-" + sha256(identity of the data root) + ("-launcher" | "-game-" + game) + extension.
std::filesystem::path start_menu_shortcut_path(const std::filesystem::path& data_root, std::string_view game,
                                               std::string_view name);

// Every existing component is a plain directory (the last may be a plain file when a directory is
// not expected); only the last may be missing; a symbolic link anywhere is refused.
void require_plain_shortcut_path(const std::filesystem::path& path, bool expect_directory);

// The destination's parent must be a plain directory, or the missing menu folder, which is then
// created privately.
void require_shortcut_parent(const std::filesystem::path& destination);

// Whether the destination lies in the data folder however it is reached (mounts included).
bool inside_data_folder(const std::filesystem::path& destination, const std::filesystem::path& data_root);

// The name (without extension) of a shortcut whose display name cannot name a file, from the data
// root's destination identity: "tovra-" + sha256 of the identity's generic form + the kind.
std::string hashed_shortcut_name(std::string_view root_identity, std::string_view game);
// Whether destination identity `inner` is `outer` or lies below it.
bool identity_within(std::string_view inner, std::string_view outer);

// Writes the entry and returns its ledger record (the digest of the file now there).
ShortcutEntry create_recorded_shortcut(const DesktopShortcut& shortcut, const std::filesystem::path& destination);

// Creates the entry unless an identical recorded one is already there, and records it.
// `check` runs while the ledger lock is waited for (as in every function below that takes one).
void record_shortcut(const DesktopShortcut& shortcut, const std::filesystem::path& destination,
                     const CancellationCheck& check = {});

// Re-creates recorded entries whose files vanished; returns their paths.
std::vector<std::filesystem::path> restore_missing_shortcuts(const std::filesystem::path& data_root,
                                                             const std::filesystem::path& bootstrap,
                                                             const CancellationCheck& check = {});

struct ShortcutRemoval {
  std::vector<std::filesystem::path> removed;  // unchanged, deleted
  std::vector<std::filesystem::path> changed;  // edited by someone else, kept and forgotten
};

// Deletes unchanged recorded entries, keeps changed ones, and forgets them all.
ShortcutRemoval remove_recorded_shortcuts(const std::filesystem::path& data_root, const CancellationCheck& check = {});

// The program entries start: the installed bootstrap folder joined with the installed bootstrap
// manifest's GUI entry when declared, else its executable.
std::filesystem::path installed_program(const DataRootLayout& layout);

// `shortcut create [--game ID]`: the entry is named after the game, or after `product_name`
// without one. Returns the entry's path.
std::filesystem::path create_shortcut_command(const std::filesystem::path& data_folder, std::string_view game,
                                              std::string_view product_name, const CancellationCheck& check = {});

// `shortcut remove`.
ShortcutRemoval remove_shortcuts_command(const std::filesystem::path& data_folder, const CancellationCheck& check = {});

// What install and repair decide about shortcuts.
struct InstallShortcutRequest {
  bool repair = false;
  bool create_shortcut = true;
  std::optional<std::string> brand_name;  // the package brand's name
  bool featured_game = false;             // the package names a featured game
};

// The install-time step: repair restores recorded entries, install creates the menu entry (none
// when the package has a brand and a featured game). Never raises: the first failure's message
// goes to `shortcut_problem`; created or restored paths are appended to `shortcuts`.
void create_install_shortcuts(const DataRootLayout& layout, const InstallShortcutRequest& request,
                              std::vector<std::filesystem::path>& shortcuts, std::string& shortcut_problem,
                              const CancellationCheck& check = {});

}  // namespace tovra
