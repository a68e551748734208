#pragma once
// Launcher entries: the menu shortcuts that start the installed bootstrap's windowed program
// with the data folder and, for a game, the game to open.
// Windows: a Shell Link (.lnk) built by the system's Shell Link object, stripped of tracking and
// expansion, loaded back and compared before it is written. POSIX: a freedesktop Desktop Entry
// (.desktop, UTF-8 text) read back by an independent parser and compared field by field before
// it is written. Both refuse a target that is not the AMD64 windowed bootstrap, a bootstrap inside
// a launcher's versioned or staged payload, and destinations inside the data folder; neither
// ever replaces an existing file.

#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tovra {

struct DesktopShortcut {
  std::filesystem::path bootstrap;  // the program the entry starts
  std::filesystem::path data_root;  // passed as --data-dir
  std::string game_id;              // empty for the launcher entry
  std::string name;                 // display name
};

// The prepared entry, every field in its final text form.
struct LauncherEntryFields {
  std::string target;             // native path of the program
  std::string data_root;          // native path of the data folder
  std::vector<std::string> arguments;  // after the target: --data-dir <root> --gui [--game <id>]
  std::string working_directory;  // the target's parent
  std::string description;        // the display name
  std::string icon;               // native/brand.ico in the data folder when present, else the target
};

// Text rule shared by shortcut paths and names: 1 to `maximum` bytes, no byte below 0x20 and no
// 0x7F (shortcut_text), valid UTF-8.
void require_shortcut_text(std::string_view text, std::size_t maximum);

// ".lnk" on Windows, ".desktop" on POSIX.
std::string_view launcher_entry_extension();

// Validates a destination or target path (text rule, local storage, absolute and normal, not a
// root, parent identity readable); returns its native text.
std::string checked_launcher_entry_path(const std::filesystem::path& path);

// True when a folder above the path is "versions" or "staging" inside a folder "launcher"
// (case-insensitive), i.e. inside a launcher payload that is replaced by updates.
bool inside_launcher_payload(const std::filesystem::path& path);

// The header checks of a bootstrap image (what one read of up to 64 KiB returned): an AMD64
// PE32+ executable (not a DLL) for the Windows GUI subsystem.
void require_windowed_bootstrap_image(std::string_view header);

LauncherEntryFields prepare_launcher_entry(const DesktopShortcut& shortcut);

// The entry's bytes for `fields`, verified by reading them back (shortcut_api on a mismatch).
std::string serialize_launcher_entry(const LauncherEntryFields& fields);

// Builds the image from the held, checked bootstrap.
std::string launcher_entry_image(const DesktopShortcut& shortcut);

// Writes the entry at `destination`, never replacing anything there; `image`, when given,
// receives the bytes written.
void create_launcher_entry(const DesktopShortcut& shortcut, const std::filesystem::path& destination,
                           std::string* image = nullptr);

// Deletes one file (a link as itself) below its held parent; a missing file is fine.
// Raises file_remove "Cannot remove " + path.
void remove_launcher_file(const std::filesystem::path& path);

// Desktop Entry text rules (exposed for the verification and its tests).
namespace desktop_entry {

// A string value: "\\" "\s" (leading blank) "\n" "\t" "\r".
std::string escape_value(std::string_view value);
// One Exec argument in double quotes: backslash before '"', '`', '$' and '\', '%' doubled.
std::string quote_exec_argument(std::string_view argument);

struct ParsedEntry {
  std::map<std::string, std::string> keys;  // the [Desktop Entry] group, values unescaped
  std::vector<std::string> exec;            // Exec split into its arguments
};
// Independent reader: refuses other groups, duplicate keys, malformed lines, escapes or quoting
// (returns false and names the problem in `problem`).
bool parse(std::string_view image, ParsedEntry& entry, std::string& problem);

// Compares an image with the fields; returns false and the first mismatch name
// ("size", "arguments", "target", "working directory", "icon", "description", "presentation").
bool verify(std::string_view image, const LauncherEntryFields& fields, std::string& mismatch);

}  // namespace desktop_entry

}  // namespace tovra
