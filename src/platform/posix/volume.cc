#include "platform/volume.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <cctype>

#include "core/error.h"
#include "platform/unique_fd.h"

namespace tovra {
namespace {

constexpr const char* kNotOrdinary = "Storage needs an ordinary absolute directory";
constexpr const char* kNoGeometry = "Cannot inspect storage volume allocation geometry";

std::uint64_t checked_product(std::uint64_t a, std::uint64_t b) {
  std::uint64_t result = 0;
  require(!__builtin_mul_overflow(a, b, &result), "volume_query", kNoGeometry);
  return result;
}

}  // namespace

StorageVolume query_storage_volume(const std::filesystem::path& directory) {
  require(directory.is_absolute(), "unsafe_path", kNotOrdinary);
  // Walk from the root, never entering a link.
  unique_fd current(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  require(current.valid(), "unsafe_path", kNotOrdinary);
  for (const auto& component : directory.relative_path()) {
    const std::string& name = component.native();
    if (name.empty() || name == ".") continue;
    require(name != "..", "unsafe_path", kNotOrdinary);
    unique_fd next(::openat(current.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    require(next.valid(), "unsafe_path", kNotOrdinary);
    current = std::move(next);
  }

  struct stat st {};
  struct statvfs vfs {};
  require(::fstat(current.get(), &st) == 0 && S_ISDIR(st.st_mode), "unsafe_path", kNotOrdinary);
  require(::fstatvfs(current.get(), &vfs) == 0, "volume_query", kNoGeometry);

  StorageVolume volume;
  volume.path = directory;
  volume.identity = "dev:" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
  volume.allocation_unit = vfs.f_frsize;
  volume.capacity_bytes = checked_product(vfs.f_blocks, vfs.f_frsize);
  volume.available_bytes = checked_product(vfs.f_bavail, vfs.f_frsize);
  // Btrfs and some others report no file-entry counters at all.
  if (vfs.f_files != 0) {
    volume.inode_capacity = vfs.f_files;
    volume.available_inodes = vfs.f_favail;
  }
  return volume;
}

}  // namespace tovra
