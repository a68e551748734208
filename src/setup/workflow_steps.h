#pragma once
// Small decisions of the setup workflows, exposed for their tests.

#include <filesystem>

#include "state/data_root.h"

namespace tovra {

// a is b or lies below it, decided lexically.
bool is_within(const std::filesystem::path& a, const std::filesystem::path& b);

// "root.json" in the trust folder reads and parses as protocol JSON.
bool trust_intact(const DataRootLayout& layout);

// Removes every entry of the data root except the lock files and the marker; saves and settings
// are kept (and listed in `kept`) unless remove_data; busy files go to `quarantine` (listed in
// `deferred`).
void remove_data_entries(const std::filesystem::path& data_root, bool remove_data,
                         const std::filesystem::path& quarantine, std::vector<std::filesystem::path>& kept,
                         std::vector<std::filesystem::path>& deferred);

}  // namespace tovra
