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

}  // namespace tovra::posix
