#include "platform/directory_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "core/error.h"
#include "core/paths.h"
#include "platform/posix/mount_id.h"
#include "platform/unique_fd.h"

namespace tovra {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

}  // namespace

void list_directory(const std::filesystem::path& directory, const std::function<bool(const DirectoryEntry&)>& visit) {
  const std::string where = utf8_path(directory);
  unique_fd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  require(fd.valid(), "file_read", "Cannot list folder: " + where);
  // fdopendir takes the descriptor over; the listing keeps its own duplicate for fstatat.
  unique_fd listing_fd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
  require(listing_fd.valid(), "file_read", "Cannot list folder: " + where);
  DirHandle dir(::fdopendir(listing_fd.get()));
  require(dir != nullptr, "file_read", "Cannot list folder: " + where);
  listing_fd.release();

  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      require(errno == 0, "file_read", "Cannot list folder: " + where);
      return;
    }
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    DirectoryEntry item;
    item.name = entry->d_name;
    struct stat own {};
    require(::fstatat(fd.get(), entry->d_name, &own, AT_SYMLINK_NOFOLLOW) == 0, "file_read",
            "Cannot read folder entry: " + item.name);
    // A mount point plays a mounted folder, a reparse point that is never entered.
    item.link = S_ISLNK(own.st_mode) || (S_ISDIR(own.st_mode) && posix::is_mount_point(fd.get(), entry->d_name));
    struct stat followed {};
    item.regular = ::fstatat(fd.get(), entry->d_name, &followed, 0) == 0 && S_ISREG(followed.st_mode);
    if (!visit(item)) return;
  }
}

}  // namespace tovra
