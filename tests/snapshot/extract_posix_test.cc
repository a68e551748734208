// Extracted trees are private: owner-only modes, execute only where the inventory says so.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "core/error.h"
#include "core/test_util.h"
#include "platform/prepared_file.h"
#include "snapshot/extract.h"
#include "snapshot_fixture.h"

namespace tovra::testing {
// (device, inode) of every object this program flushed, in order.
std::vector<std::pair<dev_t, ino_t>> flushed;
std::mutex flushed_mutex;  // files are flushed on several threads
std::atomic<ino_t> failing_flush{0};  // this inode's flush fails with EIO
std::atomic<int> flush_delay_ms{0};   // every flush takes this long
}  // namespace tovra::testing

// Sees each flush the code under test makes, whichever layer makes it, and still performs it.
extern "C" int fsync(int fd) {
  struct stat st {};
  std::this_thread::sleep_for(std::chrono::milliseconds(tovra::testing::flush_delay_ms.load()));
  if (::fstat(fd, &st) == 0 && st.st_ino == tovra::testing::failing_flush) {
    errno = EIO;
    return -1;
  }
  if (::fstat(fd, &st) == 0) {
    const std::lock_guard<std::mutex> lock(tovra::testing::flushed_mutex);
    tovra::testing::flushed.emplace_back(st.st_dev, st.st_ino);
  }
  return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace tovra::testing {
namespace {

namespace fs = std::filesystem;

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

TEST(ExtractFlushes, FlushesEveryFileAndEveryFolderTheDestinationLast) {
  TempDir temp;
  const fs::path archive = temp / "snapshot.tar.zst", dest = temp / "dest";
  const auto inventory = sample_inventory();
  SnapshotManifest manifest = manifest_for(inventory);
  seal_archive(manifest, archive, zstd_frame(builder::make_tar(entries_for(inventory))));
  flushed.clear();
  extract_snapshot(manifest, archive, dest);
  const auto id = [](const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0);
    return std::make_pair(st.st_dev, st.st_ino);
  };
  for (const char* name : {"bin/tool", "data/a.txt", "data/deep/b.bin", "empty", "bin", "data", "data/deep"}) {
    EXPECT_NE(std::find(flushed.begin(), flushed.end(), id(dest / name)), flushed.end()) << name;
  }
  ASSERT_FALSE(flushed.empty());
  EXPECT_EQ(flushed.back(), id(dest));
}

TEST(ExtractFlushes, PooledFlushesFailAsDirectOnesAndAreAwaitedOnEveryExit) {
  TempDir temp;
  const auto id = [](const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0);
    return std::make_pair(st.st_dev, st.st_ino);
  };
  // A failed flush is the same problem whether it is made at once or by a worker.
  for (const char* name : {"direct", "pooled"}) {
    auto file = create_prepared_file(temp / name, 1);
    file->write("x");
    failing_flush = id(temp / name).second;
    FlushPool pool;
    const bool pooled = std::string(name) == "pooled";
    EXPECT_EQ(outcome([&] {
                file->complete(true, pooled ? &pool : nullptr);
                pool.finish();
              }),
              "file_sync: Cannot synchronize reserved file data")
        << name;
  }
  failing_flush = 0;

  // A cancelled extraction returns only after the flushes it started have ended.
  const auto inventory = sample_inventory();
  SnapshotManifest manifest = manifest_for(inventory);
  seal_archive(manifest, temp / "snapshot.tar.zst", zstd_frame(builder::make_tar(entries_for(inventory))));
  int reports = 0;
  flush_delay_ms = 100;
  flushed.clear();
  EXPECT_EQ(outcome([&] {
              extract_snapshot(manifest, temp / "snapshot.tar.zst", temp / "dest",
                               [&](std::uint64_t, std::uint64_t) { return ++reports < 6; });
            }).substr(0, 9),
            "cancelled");
  flush_delay_ms = 0;
  int completed = 0;
  for (const auto& file : inventory) {
    if (!fs::exists(temp / "dest" / file.path)) continue;
    ++completed;
    EXPECT_NE(std::find(flushed.begin(), flushed.end(), id(temp / "dest" / file.path)), flushed.end()) << file.path;
  }
  EXPECT_EQ(completed, 2);  // bin/tool and data/a.txt; the sixth report comes before the third file
}

TEST(ExtractBounds, TheHundredThousandAndFirstEntryIsRefused) {
  TempDir temp;
  const fs::path mount = temp / "mnt";
  fs::create_directory(mount);
  ASSERT_EQ(run_quiet("mount -t tmpfs -o mode=0700 tmpfs " + quoted(mount)), 0);  // many files, quickly
  const Unmount unmount{mount};
  std::vector<InventoryFile> inventory;
  for (int i = 0; i <= 100000; ++i) inventory.push_back({"f/" + std::to_string(1000000 + i), ""});
  SnapshotManifest manifest = manifest_for(inventory);
  seal_archive(manifest, mount / "snapshot.tar.zst", zstd_frame(builder::make_tar(entries_for(inventory))));
  EXPECT_EQ(testing::outcome([&] { extract_snapshot(manifest, mount / "snapshot.tar.zst", mount / "dest"); }),
            "archive_inventory: Archive contains an unexpected or duplicate file");
}

}  // namespace
}  // namespace tovra::testing
