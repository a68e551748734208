#pragma once
// The entry in the current user's list of installed programs that starts the uninstaller.
// Windows: a key under HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Uninstall
// with REG_SZ and REG_DWORD values. POSIX: no counterpart; the name is still formed and checked,
// and writing and removing succeed without doing anything.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tovra {

struct UninstallEntry {
  std::string name;  // uninstall_entry_name
  std::string display_name;
  std::string publisher;
  std::string display_version;  // written only when not empty
  std::filesystem::path install_location;
  std::filesystem::path executable;
  std::filesystem::path icon;
};

// "Tovra" without a brand, else "Tovra." + brand id.
std::string uninstall_entry_name(const std::optional<std::string>& brand_id);

// The identifier part ("tovra" for the bare name, the brand id otherwise) must pass
// check_identifier (invalid_identity).
void check_uninstall_entry_name(std::string_view name);

// The path in native form between double quotes, its content not escaped.
std::string quote_native_path(const std::filesystem::path& path);

// quoted executable --data-dir quoted install location --gui -- --uninstall
std::string uninstall_command(const UninstallEntry& entry);

// Raises invalid_identity, unsafe_path (NUL in a string) or uninstall_entry.
void write_uninstall_entry(const UninstallEntry& entry);

// Never fails; a missing entry is fine.
void remove_uninstall_entry(std::string_view name) noexcept;

}  // namespace tovra
