#include "snapshot/storage_plan.h"

#include <gtest/gtest.h>

#include "snapshot_fixture.h"
#include "support/links.h"

namespace tovra::testing {
namespace {

namespace fs = std::filesystem;

// Absolute on either system: on Windows it follows the current drive ("Z:/data/store" under Wine).
const std::string kStore = fs::current_path().root_name().string() + "/data/store";

StorageVolume volume_with(std::uint64_t available, std::optional<std::uint64_t> inodes = std::nullopt,
                          std::optional<std::uint64_t> free_inodes = std::nullopt) {
  return {.path = native_path(kStore), .identity = "dev:8:1", .allocation_unit = 4096,
          .capacity_bytes = std::uint64_t{1} << 40, .available_bytes = available, .inode_capacity = inodes,
          .available_inodes = free_inodes};
}

SnapshotManifest one_file(std::uint64_t length) {
  SnapshotManifest manifest = manifest_for({{"bin/x", ""}});
  manifest.files["bin/x"].length = length;
  manifest.expanded_length = length;
  return manifest;
}

TEST(StoragePlan, CountsAllocationUnitsEntriesAndMargins) {
  const Json plan = plan_storage(one_file(1), volume_with(1u << 30, 1000000, 500000), true, 0, false);
  // The file, bin and the root: 3 entries, 4 units; every derived key and the key order at once.
  EXPECT_EQ(plan.dump(),
            "{\"existing_archive_allocation_bytes\":0,\"existing_partial\":false,\"reserved\":false,"
            "\"schema_version\":1,\"verified_archive_cached\":true,\"volume\":{\"additional_bytes\":16793600,"
            "\"additional_file_entries\":67,\"allocation_unit\":4096,\"available_bytes\":1073741824,"
            "\"available_inodes\":500000,\"capacity_bytes\":1099511627776,\"control_margin_bytes\":16777216,"
            "\"control_margin_file_entries\":64,\"download_bytes\":0,\"download_file_entries\":0,"
            "\"existing_or_unavailable_bytes\":1098437885952,\"existing_or_unavailable_inodes\":500000,"
            "\"inode_capacity\":1000000,\"path\":\"" + kStore + "\",\"peak_capacity_bytes\":1098454679552,"
            "\"peak_inodes\":500067,\"shortfall_bytes\":0,\"shortfall_file_entries\":0,\"staging_bytes\":16384,"
            "\"staging_file_entries\":3}}");

  // 4,096 bytes fill one unit, 4,097 need two.
  EXPECT_EQ(plan_storage(one_file(4096), volume_with(1u << 30), true, 0, false)["volume"]["staging_bytes"], 16384);
  EXPECT_EQ(plan_storage(one_file(4097), volume_with(1u << 30), true, 0, false)["volume"]["staging_bytes"], 20480);
  // Four files, a and a/b once each, and the root: 7 entries; the empty f takes no unit of its own.
  const SnapshotManifest shared = manifest_for({{"a/b/c", "1"}, {"a/b/d", "2"}, {"a/e", "3"}, {"f", ""}});
  EXPECT_EQ(plan_storage(shared, volume_with(1u << 30), true, 0, false)["volume"]["staging_bytes"], (7 + 3) * 4096);
}

TEST(StoragePlan, PlansTheDownloadUnlessTheArchiveIsCached) {
  SnapshotManifest manifest = one_file(1);
  manifest.length = 5000;
  Json v = plan_storage(manifest, volume_with(1u << 30), false, 0, false)["volume"];
  EXPECT_EQ(v["download_bytes"], 8192 + 4096);
  EXPECT_EQ(v["download_file_entries"], 1);
  v = plan_storage(manifest, volume_with(1u << 30), false, 4096, true)["volume"];
  EXPECT_EQ(v["download_bytes"], 4096);
  EXPECT_EQ(v["download_file_entries"], 0);
  v = plan_storage(manifest, volume_with(1u << 30), false, 1u << 20, true)["volume"];
  EXPECT_EQ(v["download_bytes"], 0);
  EXPECT_EQ(outcome([&] { plan_storage(manifest, volume_with(1u << 30), true, 1, false); }),
            "volume_query: Existing allocation needs an owned partial file");
}

TEST(StoragePlan, ShortfallSentences) {
  const SnapshotManifest manifest = one_file(1);
  const std::uint64_t needed = 16793600;
  struct Case {
    const char* name;
    StorageVolume volume;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"exactly enough", volume_with(needed, 100, 67), "ok"},
      {"one byte short", volume_with(needed - 1, 100, 67),
       "insufficient_space: Storage at " + kStore + " needs 1 more byte before installation; free space first"},
      {"many bytes short", volume_with(needed - 4096, 100, 0),
       "insufficient_space: Storage at " + kStore + " needs 4096 more bytes before installation; free space first"},
      {"one entry short", volume_with(needed, 100, 66),
       "insufficient_space: Storage at " + kStore + " needs 1 more file entry before installation; free space first"},
      {"many entries short", volume_with(needed, 100, 7),
       "insufficient_space: Storage at " + kStore + " needs 60 more file entries before installation; free space first"},
      {"no entry counters", volume_with(needed), "ok"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Json plan = plan_storage(manifest, c.volume, true, 0, false);
    EXPECT_EQ(outcome([&] { require_storage(plan, "launcher"); }), c.expected);
  }
  // Without counters the entry shortfall is unknown, not zero.
  const Json plan = plan_storage(manifest, volume_with(needed), true, 0, false);
  EXPECT_TRUE(plan["volume"]["shortfall_file_entries"].is_null());
}

TEST(StoragePlan, RefusesUnusableMeasurementsAndOverflow) {
  struct Case {
    const char* name;
    std::function<void(StorageVolume&)> spoil;
    std::string expected;
  };
  const std::string geometry = "volume_query: Storage capacity or allocation geometry is unavailable";
  const std::vector<Case> cases = {
      {"more available than capacity", [](StorageVolume& v) { v.available_bytes = v.capacity_bytes + 1; }, geometry},
      {"one counter", [](StorageVolume& v) { v.inode_capacity = 10; },
       "volume_query: Storage file-entry counters are incomplete"},
      {"more free than total", [](StorageVolume& v) { v.inode_capacity = 10; v.available_inodes = 11; },
       "volume_query: Storage file-entry counters are invalid"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StorageVolume volume = volume_with(1u << 20);
    c.spoil(volume);
    EXPECT_EQ(outcome([&] { plan_storage(one_file(1), volume, true, 0, false); }), c.expected);
  }
  EXPECT_EQ(outcome([&] { plan_storage(one_file(UINT64_MAX - 10), volume_with(1u << 20), true, 0, false); }),
            "size_limit: Peak storage calculation overflowed");
}

TEST(StorageVolumeProbe, MeasuresOrdinaryDirectoriesOnly) {
  TOVRA_NEEDS_SYMLINKS();
  TempDir temp;
  const StorageVolume volume = probe_storage_volume(temp.path());
  EXPECT_EQ(volume.identity.rfind("dev:", 0), 0u) << volume.identity;

  testing::make_directory_symlink(temp.path(), temp / "link");
  for (const fs::path& bad : {fs::path("relative"), temp / "link"}) {
    SCOPED_TRACE(bad.string());
    EXPECT_EQ(outcome([&] { probe_storage_volume(bad); }),
              "unsafe_path: Storage needs an ordinary absolute directory");
  }
}

}  // namespace
}  // namespace tovra::testing
