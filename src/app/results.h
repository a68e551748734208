#pragma once
// Result documents, the problem document, and the sentences of the text mode.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "app/setup_command.h"
#include "core/error.h"
#include "core/json.h"
#include "setup/workflows.h"
#include "shortcuts/shortcuts.h"

namespace tovra {

Json path_strings(const std::vector<std::filesystem::path>& paths);

Json install_document(const InstallResult& result);
Json status_document(const StatusResult& result);
Json uninstall_document(const UninstallResult& result);
Json shortcut_create_document(const std::filesystem::path& created);
Json shortcut_remove_document(const ShortcutRemoval& removal);
Json problem_document(const Error& error);

// Compact, unescaped UTF-8; throws (not an Error) on a string that is not valid UTF-8.
std::string serialize_document(const Json& document);

// The sentence for the text mode, derived from the document alone.
std::string result_text(CommandKind command, const Json& document);

// Replaces each free-standing "Tovra" with the current `product_name`.
std::string brand_text(std::string_view text);

}  // namespace tovra
