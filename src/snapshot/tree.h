#pragma once
// Tree verification: an installed snapshot tree is accepted only when it is exactly the inventory.

#include <filesystem>

#include "core/digest.h"
#include "package/snapshot_manifest.h"

namespace tovra {

// No link, no unlisted file, no listed file missing, every file of the listed length and digest.
// `progress` (may be empty) is reported per file and may raise `cancelled`.
void verify_snapshot_tree(const SnapshotManifest& manifest, const std::filesystem::path& root,
                          const HashProgress& progress = {});

// A walked entry's own kind, never following it, taken from the listing where the listing tells.
std::filesystem::file_type entry_kind(const std::filesystem::directory_entry& entry);

// Removes leftover "*.old" entries below `root` (single entries only); never raises for
// filesystem failures.
void sweep_old_files(const std::filesystem::path& root);

// Health of an installed bootstrap: sweeps, reads the kept manifest (512 KiB cap), verifies the
// tree under `root`. Any failure answers false.
bool bootstrap_intact(const std::filesystem::path& root, const std::filesystem::path& manifest_file);

}  // namespace tovra
