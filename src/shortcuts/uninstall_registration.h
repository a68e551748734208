#pragma once
// Registering the installation in the user's list of installed programs after install or repair.

#include <optional>
#include <string>

#include "package/brand.h"
#include "platform/uninstall_entry.h"

namespace tovra {

struct DataRootLayout;

// The entry for the installation in `layout`: brand names or "Tovra", no version, the program
// that shortcuts start, and "native/brand.ico" as icon when it is there, else that program.
UninstallEntry installed_uninstall_entry(const DataRootLayout& layout, const std::optional<Brand>& brand);

// Best effort: any failure becomes `shortcut_problem` when that is still empty, else is dropped.
void register_uninstall_entry(const DataRootLayout& layout, const std::optional<Brand>& brand,
                              std::string& shortcut_problem);

}  // namespace tovra
