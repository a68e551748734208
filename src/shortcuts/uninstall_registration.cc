#include "shortcuts/uninstall_registration.h"

#include "platform/read_file.h"
#include "shortcuts/shortcuts.h"
#include "state/data_root.h"

namespace tovra {

UninstallEntry installed_uninstall_entry(const DataRootLayout& layout, const std::optional<Brand>& brand) {
  UninstallEntry entry;
  entry.name = uninstall_entry_name(brand ? std::optional<std::string>(brand->id) : std::nullopt);
  entry.display_name = brand ? brand->name : "Tovra";
  entry.publisher = brand ? brand->publisher : "Tovra";
  entry.install_location = layout.root;
  entry.executable = installed_program(layout);
  const std::filesystem::path icon = layout.root / "native" / "brand.ico";
  entry.icon = path_kind(icon) != PathKind::missing ? icon : entry.executable;
  return entry;
}

void register_uninstall_entry(const DataRootLayout& layout, const std::optional<Brand>& brand,
                              std::string& shortcut_problem) {
  try {
    write_uninstall_entry(installed_uninstall_entry(layout, brand));
  } catch (const std::exception& error) {
    if (shortcut_problem.empty()) shortcut_problem = error.what();
  }
}

}  // namespace tovra
