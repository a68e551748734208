// A mounted file system inside a tree is a reparse point: never entered, never swept.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tovra::testing
