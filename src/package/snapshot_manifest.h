#pragma once
// Snapshot manifests: the validated inventory of one tar.zst-v1 build. Everything that extracts,
// verifies or measures a snapshot works from this inventory, never from the archive's listing.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "core/json.h"

namespace tovra {

struct SnapshotFile {
  std::uint64_t length = 0;
  std::string sha256;       // 64 lower-case hex characters
  bool executable = false;  // mode 0755 rather than 0644
};

struct SnapshotManifest {
  Json document;  // the whole document, for the release checks on further keys
  std::string build_id;
  std::string platform;
  std::string executable;
  std::string target;  // the archive's path relative to the package that supplies it
  std::uint64_t length = 0;
  std::uint64_t expanded_length = 0;
  std::string sha256;
  std::map<std::string, SnapshotFile> files;  // ascending byte order of the paths
};

inline constexpr std::uint64_t max_snapshot_bytes = std::uint64_t{1} << 42;
inline constexpr std::size_t max_snapshot_files = 100000;

// Validates a parsed manifest document; reads nothing from disk.
SnapshotManifest parse_snapshot_manifest(const Json& document);

// Longest inventory path in UTF-16 units (after native_path); 0 for an empty inventory.
std::size_t longest_path_length(const SnapshotManifest& manifest);

}  // namespace tovra
