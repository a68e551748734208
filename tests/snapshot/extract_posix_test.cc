// Extracted trees are private: owner-only modes, execute only where the inventory says so.

#include <gtest/gtest.h>

#include "snapshot/extract.h"
#include "snapshot_fixture.h"

namespace tovra::testing {
namespace {

TEST(ExtractModes, OwnerOnlyAndExecutableOnlyWhereDeclared) {
  TempDir temp;
  const auto inventory = sample_inventory();
  SnapshotManifest manifest = manifest_for(inventory);
  seal_archive(manifest, temp / "snapshot.tar.zst", zstd_frame(builder::make_tar(entries_for(inventory))));
  const std::filesystem::path dest = temp / "dest";
  extract_snapshot(manifest, temp / "snapshot.tar.zst", dest, {});
  for (const auto& file : inventory) EXPECT_EQ(mode_of(dest / file.path), file.executable ? 0700u : 0600u) << file.path;
  EXPECT_EQ(mode_of(dest), 0700u);
  EXPECT_EQ(mode_of(dest / "data" / "deep"), 0700u);
}

}  // namespace
}  // namespace tovra::testing
