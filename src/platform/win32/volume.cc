#include "platform/volume.h"

#include <system_error>

#include "core/error.h"
#include "platform/read_file.h"
#include "platform/win32/win32_support.h"

namespace tovra {
namespace {

constexpr const char* kNotOrdinary = "Storage needs an ordinary absolute directory";
constexpr const char* kNoGeometry = "Cannot inspect storage volume allocation geometry";

}  // namespace

StorageVolume query_storage_volume(const std::filesystem::path& directory) {
  require(directory.has_root_name() && directory.has_root_directory() &&
              path_kind(directory) == PathKind::directory,
          "unsafe_path", kNotOrdinary);
  std::error_code error;
  const std::filesystem::space_info space = std::filesystem::space(directory, error);
  require(!error, "volume_query", kNoGeometry);

  // The plain form: the volume path of a "\\?\" path is not a mount point the GUID lookup accepts.
  std::filesystem::path plain = directory;
  const std::wstring native = plain.make_preferred().native();
  std::wstring volume_path(32768, L'\0');
  require(::GetVolumePathNameW(native.c_str(), volume_path.data(), 32768) != 0, "volume_query", kNoGeometry);
  volume_path.resize(volume_path.find(L'\0'));
  std::wstring guid(128, L'\0');
  require(::GetVolumeNameForVolumeMountPointW(volume_path.c_str(), guid.data(), 128) != 0, "volume_query",
          kNoGeometry);
  guid.resize(guid.find(L'\0'));
  DWORD sectors_per_cluster = 0;
  DWORD bytes_per_sector = 0;
  DWORD free_clusters = 0;
  DWORD total_clusters = 0;
  require(::GetDiskFreeSpaceW(volume_path.c_str(), &sectors_per_cluster, &bytes_per_sector, &free_clusters,
                              &total_clusters) != 0,
          "volume_query", kNoGeometry);

  StorageVolume volume;
  volume.path = directory;
  std::string identity = win32::narrow(guid);
  for (char& c : identity)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  volume.identity = identity;
  // Both factors are 32-bit, so the product fits in 64 bits.
  volume.allocation_unit = static_cast<std::uint64_t>(sectors_per_cluster) * bytes_per_sector;
  volume.capacity_bytes = space.capacity;
  volume.available_bytes = space.available;
  return volume;
}

}  // namespace tovra
