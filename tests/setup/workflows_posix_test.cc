// Workflows where only POSIX can stand in for what another program does: files held open, and
// mounted file systems.
#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <vector>

#include "core/test_util.h"
#include "shortcuts/ledger.h"
#include "workflows_fixture.h"

namespace tovra::testing {
// Files named so stand for files another program holds open: removing them fails as it does then,
// and, as on Windows, their folder cannot be removed while they stay open, even once moved away.
const std::string kHeld = "held.dll";
std::string held_folder;
// The folders whose delayed removal was started; nothing is actually started.
std::vector<std::string> delayed_removals;
}  // namespace tovra::testing

// Removal works on held folders, so the full name comes from the folder's descriptor.
extern "C" int unlinkat(int directory, const char* name, int flags) {
  std::filesystem::path full = name;
  if (directory != AT_FDCWD) {
    char folder[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(directory);
    const ssize_t length = ::readlink(link.c_str(), folder, sizeof folder - 1);
    if (length > 0) full = std::filesystem::path(std::string(folder, static_cast<std::size_t>(length))) / name;
  }
  const bool folder = (flags & AT_REMOVEDIR) != 0;
  if ((!folder && full.filename() == tovra::testing::kHeld) || (folder && full == tovra::testing::held_folder)) {
    if (!folder) tovra::testing::held_folder = full.parent_path().string();
    errno = EBUSY;
    return -1;
  }
  return static_cast<int>(::syscall(SYS_unlinkat, directory, name, flags));
}

extern "C" int posix_spawn(pid_t* pid, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*,
                           char* const argv[], char* const[]) {
  std::string last;
  for (char* const* argument = argv; *argument != nullptr; ++argument) last = *argument;
  tovra::testing::delayed_removals.push_back(last);
  *pid = 0;
  return 0;
}

namespace tovra {
namespace {

class WorkflowsPosix : public Workflows {};

TEST_F(WorkflowsPosix, UninstallMovesHeldFilesAsideAndCarriesOnWithoutItsShortcuts) {
  const InstallResult installed = install();
  testing::write_file(data_ / "native/bootstrap/bin" / testing::kHeld, "in use");
  testing::write_file(shortcut_ledger_path(data_), "not a ledger");
  testing::delayed_removals.clear();
  const UninstallResult removed = remove(true);
  EXPECT_EQ(removed.deferred, std::vector<fs::path>{data_ / "native/bootstrap/bin" / testing::kHeld});
  EXPECT_FALSE(removed.data_removed);
  EXPECT_TRUE(fs::is_directory(data_ / "native/bootstrap/bin"));  // its parent stays until the file goes
  EXPECT_FALSE(fs::exists(data_ / "native/bootstrap/bin" / testing::kHeld));
  EXPECT_FALSE(fs::exists(data_ / "native/bootstrap/share"));
  EXPECT_FALSE(fs::exists(data_ / "launcher"));
  // The shortcut could not be proven ours, so it stays.
  EXPECT_TRUE(fs::is_regular_file(installed.shortcuts.at(0)));
  ASSERT_EQ(testing::delayed_removals.size(), 1u);
  const fs::path quarantine = testing::delayed_removals[0];
  EXPECT_EQ(quarantine.filename().string().substr(0, 14), "tovra-removed-");
  ASSERT_TRUE(fs::is_directory(quarantine));
  for (const auto& entry : fs::directory_iterator(quarantine)) {
    EXPECT_EQ(testing::read_file(entry.path()), "in use");
  }
  fs::remove_all(quarantine);
  testing::held_folder.clear();
}

// Every file below `folder` with its content.
std::map<std::string, std::string> files_below(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file()) files[entry.path().lexically_relative(folder).string()] = testing::read_file(entry.path());
  return files;
}

// A mounted file system cannot be removed: uninstall stops before changing anything, names it,
// and finishes once it is unmounted.
TEST_F(WorkflowsPosix, UninstallNeverEntersAMountedFileSystem) {
  for (const char* where : {"extra", "launcher/extra"}) {
    SCOPED_TRACE(where);
    install();
    const fs::path mounted = data_ / where;
    fs::create_directory(mounted);
    if (testing::run_quiet("mount -t tmpfs -o size=1m tmpfs " + testing::quoted(mounted)) != 0)
      GTEST_SKIP() << "mounting needs root";
    const testing::Unmount unmount{mounted};
    testing::write_file(mounted / "theirs.txt", "keep");
    const auto before = files_below(data_);
    EXPECT_EQ(testing::outcome([&] { remove(true); }), "file_remove: Cannot remove " + mounted.string());
    EXPECT_EQ(files_below(data_), before);
    ASSERT_EQ(testing::run_quiet("umount " + testing::quoted(mounted)), 0);
    EXPECT_EQ(testing::outcome([&] { remove(true); }), "ok");
    EXPECT_FALSE(fs::exists(data_));
  }
}

}  // namespace
}  // namespace tovra
