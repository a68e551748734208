#include "platform/uninstall_entry.h"

#include "core/paths.h"

// No registry here: the entry is still formed and checked, so what would be written is valid.
namespace tovra {

void write_uninstall_entry(const UninstallEntry& entry) {
  check_uninstall_entry_name(entry.name);
  // The same conversions the registry values go through, so a NUL is refused here as well.
  for (const std::string& text : {entry.name, entry.display_name, entry.publisher, entry.display_version,
                                  utf8_path(entry.install_location), utf8_path(entry.executable),
                                  utf8_path(entry.icon), uninstall_command(entry)}) {
    (void)native_path(text);
  }
}

void remove_uninstall_entry(std::string_view name) noexcept { (void)name; }

}  // namespace tovra
