// A mounted file system inside a tree is a reparse point: never entered, never swept. A sweep
// that cannot see the whole tree removes nothing.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "core/test_util.h"
#include "snapshot/tree.h"
#include "snapshot_fixture.h"

namespace tovra::testing {
namespace {

namespace fs = std::filesystem;

TEST(TreeMounts, MountedFoldersAreNeverEntered) {
  TempDir temp;
  const fs::path root = temp / "root";
  const std::vector<InventoryFile> inventory = sample_inventory();
  const SnapshotManifest manifest = manifest_for(inventory);
  lay_out(root, inventory);
  const fs::path mounted = root / "data" / "mounted";
  fs::create_directory(mounted);
  if (run_quiet("mount -t tmpfs -o size=1m tmpfs " + quoted(mounted)) != 0) GTEST_SKIP() << "mounting needs root";
  const Unmount unmount{mounted};
  EXPECT_EQ(testing::outcome([&] { verify_snapshot_tree(manifest, root); }),
            "unsafe_path: Managed path contains a reparse point");
  write_file(mounted / "stale.old", "theirs");
  write_file(root / "data" / "stale.old", "ours");
  sweep_old_files(root);
  EXPECT_TRUE(fs::exists(mounted / "stale.old"));
  EXPECT_FALSE(fs::exists(root / "data" / "stale.old"));
}

// Runs the sweep as another user, for whom a folder the root user could always open is closed.
int sweep_as_nobody(const fs::path& root) {
  const pid_t child = ::fork();
  if (child == 0) {
    const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
    if (dropped) sweep_old_files(root);
    ::_exit(dropped ? 0 : 1);
  }
  int status = -1;
  ::waitpid(child, &status, 0);
  return status;
}

TEST(OldFileSweep, AWalkThatFailsPartWayRemovesNothing) {
  TempDir temp;
  fs::permissions(temp.path(), fs::perms::owner_all | fs::perms::others_exec);
  const fs::path root = temp / "root";
  fs::create_directories(root / "b" / "locked");
  write_file(root / "a.old", "stale");
  ASSERT_EQ(run_quiet("chown -R 65534:65534 " + quoted(root)), 0);
  fs::permissions(root / "b" / "locked", fs::perms::none);
  ASSERT_EQ(sweep_as_nobody(root), 0);
  EXPECT_TRUE(fs::exists(root / "a.old"));

  fs::permissions(root / "b" / "locked", fs::perms::owner_all);
  ASSERT_EQ(sweep_as_nobody(root), 0);
  EXPECT_FALSE(fs::exists(root / "a.old"));
}

}  // namespace
}  // namespace tovra::testing
