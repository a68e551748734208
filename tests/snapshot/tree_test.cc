#include "snapshot/tree.h"

#include <gtest/gtest.h>

#include <functional>

#include "core/test_util.h"
#include "package/snapshot.h"
#include "snapshot_fixture.h"
#include "support/links.h"
#include "support/wine.h"

namespace tovra::testing {
namespace {

namespace fs = std::filesystem;

class TreeTest : public ::testing::Test {
 protected:
  TempDir temp;
  fs::path root = temp / "root";
  std::vector<InventoryFile> inventory = sample_inventory();
  SnapshotManifest manifest = manifest_for(inventory);

  void SetUp() override { lay_out(root, inventory); }
};

TEST_F(TreeTest, AcceptsExactTreesUnderAnOrdinaryRootUntilCancelled) {
  fs::create_directories(root / "data" / "unused" / "deeper");
  std::uint64_t last = 0;
  verify_snapshot_tree(manifest, root, [&](std::uint64_t done, std::uint64_t total) {
    EXPECT_EQ(total, manifest.expanded_length);
    last = done;
    return true;
  });
  EXPECT_EQ(last, manifest.expanded_length);
  EXPECT_EQ(outcome([&] { verify_snapshot_tree(manifest, root, [](std::uint64_t, std::uint64_t) { return false; }); })
                .substr(0, 10),
            "cancelled:");
  EXPECT_EQ(outcome([&] { verify_snapshot_tree(manifest, root / "empty"); }),
            "unsafe_path: Game content directory is missing or linked");
}

TEST_F(TreeTest, EachDifferenceHasItsProblem) {
  const std::string unmanaged = "unexpected_file: Game tree contains an unmanaged file";
  const struct {
    const char* name;
    std::function<void(const fs::path&)> damage;
    std::string expected;
  } cases[] = {
      {"extra file deep down", [](const fs::path& r) { write_file(r / "data" / "deep" / "x", "1"); }, unmanaged},
      {"name that is not UTF-8", [](const fs::path& r) { write_file(r / "data" / "bad\xff", "1"); }, unmanaged},
      {"missing file", [](const fs::path& r) { fs::remove(r / "data" / "deep" / "b.bin"); },
       "missing_file: Game content is incomplete; repair is available"},
      {"one byte changed", [](const fs::path& r) { write_file(r / "data" / "a.txt", std::string(70004, 'a')); },
       "content_mismatch: Game content differs from the verified manifest: data/a.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir scratch;
    const fs::path tree = scratch / "root";
    lay_out(tree, inventory);
    c.damage(tree);
    EXPECT_EQ(outcome([&] { verify_snapshot_tree(manifest, tree); }), c.expected);
  }
  // A followed link to a folder would look like a folder with nothing unmanaged in it.
  TOVRA_NEEDS_SYMLINKS();
  testing::make_directory_symlink(root, temp / "linked");
  EXPECT_EQ(outcome([&] { verify_snapshot_tree(manifest, temp / "linked"); }),
            "unsafe_path: Game content directory is missing or linked");
  testing::make_directory_symlink("/", root / "bin" / "up");
  EXPECT_EQ(outcome([&] { verify_snapshot_tree(manifest, root); }), "unsafe_path: Game tree contains a symbolic link");
}

TEST_F(TreeTest, EntryCountIsBoundedBeforeHashing) {
  if (under_wine()) GTEST_SKIP() << "Wine makes a folder in about 8 ms here: 250,001 entries would take over 30 minutes";
  // Many folders, quickly, where a memory file system can be mounted (POSIX, as root).
  const Unmount mount = mount_memory(temp / "mnt");
  lay_out(mount.point, inventory);
  // The inventory lays out 4 files in 3 folders; empty folders make up 250,001 entries.
  for (int i = 7; i <= 250000; ++i) fs::create_directory(mount.point / ("d" + std::to_string(i)));
  bool hashed = false;
  const auto progress = [&](std::uint64_t, std::uint64_t) { return hashed = true; };
  EXPECT_EQ(outcome([&] { verify_snapshot_tree(manifest, mount.point, progress); }),
            "size_limit: Game directory entry count exceeds bounds");
  EXPECT_FALSE(hashed);
}

// A nested ".old" file is swept in the bootstrap health check below.
TEST(SweepOldFiles, RemovesOnlyOldEntriesAndNeverRaises) {
  TempDir temp;
  fs::create_directories(temp / "bin");
  write_file(temp / "bin" / "a.older", "2");
  fs::create_directories(temp / "cache.old" / "inner");
  fs::create_directory(temp / "empty.old");
  sweep_old_files(temp.path());
  EXPECT_FALSE(fs::exists(temp / "empty.old"));
  EXPECT_TRUE(fs::exists(temp / "bin" / "a.older"));
  EXPECT_TRUE(fs::exists(temp / "cache.old" / "inner"));
  EXPECT_NO_THROW(sweep_old_files(temp / "absent"));
}

TEST_F(TreeTest, BootstrapHealthAnswersWithoutRaising) {
  builder::Payload payload;
  for (const auto& file : inventory) payload[file.path] = {file.content, file.executable};
  builder::SnapshotOptions options;
  options.executable = "bin/tool";
  options.target = "snapshot.tar.zst";
  const fs::path kept = temp / "bootstrap.json";
  write_file(kept, builder::snapshot_manifest(payload, options, "archive").dump());
  write_file(root / "bin" / "tool.old", "left over");
  EXPECT_TRUE(bootstrap_intact(root, kept));
  EXPECT_FALSE(fs::exists(root / "bin" / "tool.old")) << "the health check sweeps first";

  write_file(root / "empty", "changed");
  EXPECT_FALSE(bootstrap_intact(root, kept));
}

}  // namespace
}  // namespace tovra::testing
