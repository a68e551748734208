#pragma once
// Durable writes below a folder the caller already holds, so that a renamed or replaced ancestor
// cannot redirect them.

#include <filesystem>
#include <string_view>

namespace tovra {

// create_owned_file for `destination`, whose folder is the held descriptor `parent`; the path
// names the file in messages only.
void create_owned_file_at(int parent, const std::filesystem::path& destination, std::string_view content);

}  // namespace tovra
