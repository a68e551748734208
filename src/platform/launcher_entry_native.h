#pragma once
// The native calls under the shared launcher-entry writer: each backend supplies these, and
// src/platform/launcher_entry.cc runs the checks, the held-folder steps and their messages.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/storage.h"
#include "platform/unique_fd.h"

namespace tovra::launcher_entry_native {

// A file name against an ASCII name given in lower case, ignoring case as the system does.
bool same_name(const std::filesystem::path& name, std::string_view lower_ascii);

// The length in UTF-16 units of the argument line the entry stores.
std::size_t argument_line_units(const std::vector<std::string>& arguments);

// The path made absolute and normal without touching the disk.
std::filesystem::path absolute_normal(const std::filesystem::path& path);

// The bootstrap opened read-only inside its held folder (`chain` ends at that folder), never
// through a link; invalid when it cannot be opened.
unique_fd open_bootstrap(const windows_security::DirectoryChain& chain, const std::filesystem::path& target);

// An ordinary file with one link, not a directory nor a link or reparse point.
bool single_link_file(const unique_fd& file);

// Reads the start of the file into `header` (at most its size, shrunk to what was read).
bool read_start(const unique_fd& file, std::string& header);

// In the held folder `chain`: nothing at all is at `path`.
bool nothing_at(const windows_security::DirectoryChain& chain, const std::filesystem::path& path);

// In the held folder `chain`: a new owned file with `content`, never replacing anything.
void create_file(const windows_security::DirectoryChain& chain, const std::filesystem::path& path,
                 std::string_view content);

// In the held folder `chain`: deletes the file (a link as itself); true when it is gone or was
// never there.
bool remove_file(const windows_security::DirectoryChain& chain, const std::filesystem::path& path);

}  // namespace tovra::launcher_entry_native
