#pragma once
// Which mount an open object belongs to. A bind mount shares the device number with its source,
// so only the mount id tells a mounted folder from an ordinary one.

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <optional>

namespace tovra::posix {

// The mount id of `fd`, or nothing on kernels that do not report it.
inline std::optional<std::uint64_t> mount_id(int fd) {
  struct statx info {};
  if (::statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &info) != 0) return std::nullopt;
  if ((info.stx_mask & STATX_MNT_ID) == 0) return std::nullopt;
  return info.stx_mnt_id;
}

// Whether `name` below the directory `parent` is a mount point: the root of a mount, or on another
// device or mount than its parent. It plays a mounted folder, which no walk enters. An object
// that cannot be inspected counts as one, so a walk stops rather than guesses.
inline bool is_mount_point(int parent, const char* name) {
  constexpr unsigned wanted = STATX_TYPE | STATX_INO | STATX_MNT_ID;
  struct statx above {}, below {};
  if (::statx(parent, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, wanted, &above) != 0 ||
      ::statx(parent, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, wanted, &below) != 0)
    return true;
  if ((below.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 && (below.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0)
    return true;
  if (above.stx_dev_major != below.stx_dev_major || above.stx_dev_minor != below.stx_dev_minor) return true;
  const bool both_ids = (above.stx_mask & below.stx_mask & STATX_MNT_ID) != 0;
  return both_ids && above.stx_mnt_id != below.stx_mnt_id;
}

}  // namespace tovra::posix
