#pragma once
// Extraction of a tar.zst-v1 snapshot into a fresh private directory that matches its manifest
// exactly, or a problem; a destination whose extraction raised must not be used.

#include <filesystem>

#include "core/digest.h"
#include "package/snapshot_manifest.h"

namespace tovra {

// `archive` must already be the manifest's file (size and digest are checked before decoding);
// `destination` must not exist. `progress` (may be empty) gets (bytes extracted, expanded length)
// per entry and per 64 KiB chunk and may raise `cancelled`. On failure the destination and the
// files completed so far are left for the caller to remove.
void extract_snapshot(const SnapshotManifest& manifest, const std::filesystem::path& archive,
                      const std::filesystem::path& destination, const HashProgress& progress = {});

}  // namespace tovra
