#pragma once
// Volume measurement for storage planning. Windows asks GetVolumePathNameW,
// GetVolumeNameForVolumeMountPointW and GetDiskFreeSpaceW (no file-entry counters); POSIX asks
// fstatvfs on the directory opened without following a link, and names the volume "dev:MAJOR:MINOR".

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace tovra {

struct StorageVolume {
  std::filesystem::path path;  // the probed directory
  std::string identity;        // volume identity, lower case, never empty once validated
  std::uint64_t allocation_unit = 0;
  std::uint64_t capacity_bytes = 0;
  std::uint64_t available_bytes = 0;
  std::optional<std::uint64_t> inode_capacity;
  std::optional<std::uint64_t> available_inodes;
};

// Measures the volume holding `directory` (an existing, absolute, unlinked directory); the
// numbers are returned as the system reports them, validation is the caller's.
StorageVolume query_storage_volume(const std::filesystem::path& directory);

}  // namespace tovra
