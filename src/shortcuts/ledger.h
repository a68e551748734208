#pragma once
// The shortcut ledger "native/shortcuts.json": every launcher entry the installer made, with the
// digest of the bytes it wrote, so that only unchanged entries are ever removed or replaced.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tovra {

struct ShortcutEntry {
  std::filesystem::path path;  // absolute and normal
  std::string game;            // empty for the launcher entry
  std::string name;            // display name
  std::string sha256;          // of the file as written
  friend bool operator==(const ShortcutEntry&, const ShortcutEntry&) = default;
};

inline constexpr std::uint64_t kShortcutLedgerLimit = 262144;
inline constexpr std::size_t kMaxShortcutEntries = 128;
inline constexpr std::uint64_t kShortcutFileLimit = 65536;

std::filesystem::path shortcut_ledger_path(const std::filesystem::path& data_root);

// Entries in file order; an absent ledger is empty. Callers hold shortcut_lock.
std::vector<ShortcutEntry> read_shortcut_ledger(const std::filesystem::path& data_root);

// Stores the entries durably; no entries deletes the ledger file.
void write_shortcut_ledger(const std::filesystem::path& data_root, const std::vector<ShortcutEntry>& entries);

// The entry's path is a regular file (not a link) whose SHA-256 equals the recorded one.
bool shortcut_unchanged(const ShortcutEntry& entry);

// Text rule, then absolute and lexically normal (shortcut_path otherwise).
std::filesystem::path checked_shortcut_path(const std::filesystem::path& path);

}  // namespace tovra
