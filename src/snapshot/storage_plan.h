#pragma once
// Storage planning: the peak space and file entries a snapshot needs on its volume, in whole
// allocation units with a fixed control margin, and the refusal that names the shortfall.

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "core/json.h"
#include "package/snapshot_manifest.h"
#include "platform/volume.h"

namespace tovra {

inline constexpr std::uint64_t storage_control_margin_bytes = 16777216;
inline constexpr std::uint64_t storage_control_margin_file_entries = 64;

// Measures and validates the volume of an existing, absolute, unlinked directory.
StorageVolume probe_storage_volume(const std::filesystem::path& directory);

// Raises volume_query unless the measurement is usable for planning.
void validate_storage_volume(const StorageVolume& volume);

// round_up(n, unit), overflow-checked (size_limit).
std::uint64_t round_up_to_unit(std::uint64_t bytes, std::uint64_t unit);

// The storage plan document; the installer passes (true, 0, false) for a verified local archive.
Json plan_storage(const SnapshotManifest& manifest, const StorageVolume& volume, bool verified_archive_cached,
                  std::uint64_t existing_archive_allocation_bytes, bool existing_partial);

// Raises insufficient_space naming the byte shortfall (or else the file-entry shortfall).
void require_storage(const Json& plan, std::string_view label);

}  // namespace tovra
