#include "platform/delayed_removal.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "core/error.h"
#include "platform/posix/mount_id.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace tovra {

namespace fs = std::filesystem;

void schedule_folder_removal(const fs::path& folder) {
  static constexpr const char* shell = "/bin/sh";
  require(::access(shell, X_OK) == 0, "process_start", "Cannot locate the Windows system directory");

  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return;
  posix_spawnattr_t attributes;
  if (posix_spawnattr_init(&attributes) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return;
  }
  for (int stream = 0; stream < 3; ++stream)
    posix_spawn_file_actions_addopen(&actions, stream, "/dev/null", stream == 0 ? O_RDONLY : O_WRONLY, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);

  std::string script = "sleep 3; rm -rf -- \"$1\"";
  std::string argv0 = "sh";
  std::string target = folder.native();
  std::string dash_c = "-c";
  char* argv[] = {argv0.data(), dash_c.data(), script.data(), argv0.data(), target.data(), nullptr};
  pid_t child = 0;
  // Not waited for: the new session outlives this process, which must exit to release its files.
  posix_spawn(&child, shell, &actions, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
}

std::optional<fs::path> temporary_folder_on_volume_of(const fs::path& data_root) {
  static const fs::path temporary = "/tmp";
  const unique_fd temporary_folder(::open(temporary.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat temporary_status {};
  if (!temporary_folder || ::fstat(temporary_folder.get(), &temporary_status) != 0) return std::nullopt;
  fs::path probe = data_root;
  for (int depth = 0; depth < 4096 && !probe.empty(); ++depth) {
    const unique_fd existing(::open(probe.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (existing && ::fstat(existing.get(), &st) == 0) {
      // A rename crosses neither devices nor mounts, and a bind mount shares its device.
      const bool same_mount = posix::mount_id(existing.get()) == posix::mount_id(temporary_folder.get());
      if (st.st_dev == temporary_status.st_dev && same_mount) return temporary;
      return std::nullopt;
    }
    if (probe == probe.parent_path()) break;
    probe = probe.parent_path();
  }
  return std::nullopt;
}

}  // namespace tovra
