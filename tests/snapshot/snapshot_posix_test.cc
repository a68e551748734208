// Prepared files and extracted trees are private and durable; mounted folders are never entered
// and a sweep that cannot see the whole tree removes nothing.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "core/test_util.h"
#include "platform/prepared_file.h"
#include "snapshot/extract.h"
#include "snapshot/tree.h"
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
  if (::fstat(fd, &st) == 0) {
    if (st.st_ino == tovra::testing::failing_flush) {
      errno = EIO;
      return -1;
    }
    const std::lock_guard<std::mutex> lock(tovra::testing::flushed_mutex);
    tovra::testing::flushed.emplace_back(st.st_dev, st.st_ino);
  }
  return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace tovra::testing {
namespace {

namespace fs = std::filesystem;

std::pair<dev_t, ino_t> id(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0);
  return {st.st_dev, st.st_ino};
}

fs::perms mode_of(const fs::path& path) { return fs::symlink_status(path).permissions() & fs::perms::mask; }

bool was_flushed(const fs::path& path) { return std::find(flushed.begin(), flushed.end(), id(path)) != flushed.end(); }

using ExtractFlushes = SealedSample;

TEST_F(ExtractFlushes, FlushesEveryFileAndEveryFolderTheDestinationLast) {
  flushed.clear();
  const mode_t umask_before = ::umask(0277);  // a umask that takes the owner's own bits
  extract_snapshot(manifest, archive, dest);
  ::umask(umask_before);
  for (const char* name : {"bin/tool", "data/a.txt", "data/deep/b.bin", "empty", "bin", "data", "data/deep"}) {
    EXPECT_TRUE(was_flushed(dest / name)) << name;
  }
  ASSERT_FALSE(flushed.empty());
  EXPECT_EQ(flushed.back(), id(dest));
  // Owner-only modes, execute only where the inventory says so.
  for (const auto& file : inventory) {
    EXPECT_EQ(mode_of(dest / file.path), fs::perms(file.executable ? 0700 : 0600)) << file.path;
  }
  EXPECT_EQ(mode_of(dest), fs::perms(0700));
  EXPECT_EQ(mode_of(dest / "data" / "deep"), fs::perms(0700));
}

TEST_F(ExtractFlushes, PooledFlushesFailAsDirectOnesAndAreAwaitedOnEveryExit) {
  flushed.clear();
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
  int reports = 0;
  flush_delay_ms = 100;
  EXPECT_EQ(outcome([&] {
              extract_snapshot(manifest, archive, dest, [&](std::uint64_t, std::uint64_t) { return ++reports < 6; });
            }).substr(0, 10),
            "cancelled:");
  flush_delay_ms = 0;
  // bin/tool and data/a.txt are complete: the sixth report comes before the third file.
  EXPECT_TRUE(was_flushed(dest / "bin/tool"));
  EXPECT_TRUE(was_flushed(dest / "data/a.txt"));
  EXPECT_FALSE(fs::exists(dest / "data/deep/b.bin"));
}

TEST(ExtractBounds, TheHundredThousandAndFirstEntryIsRefused) {
  TempDir temp;
  const Unmount mount = mount_memory(temp / "mnt");
  std::vector<InventoryFile> inventory;
  for (int i = 0; i <= 100000; ++i) inventory.push_back({"f/" + std::to_string(1000000 + i), ""});
  SnapshotManifest manifest = manifest_for(inventory);
  seal_archive(manifest, mount.point / "snapshot.tar.zst", zstd_frame(builder::make_tar(entries_for(inventory))));
  EXPECT_EQ(outcome([&] { extract_snapshot(manifest, mount.point / "snapshot.tar.zst", mount.point / "dest"); }),
            "archive_inventory: Archive contains an unexpected or duplicate file");
}

TEST(TreeMounts, MountedFoldersAreNeverEntered) {
  TempDir temp;
  const fs::path root = temp / "root";
  lay_out(root, sample_inventory());
  const Unmount mounted = mount_memory(root / "data" / "mounted");
  EXPECT_EQ(outcome([&] { verify_snapshot_tree(manifest_for(sample_inventory()), root); }),
            "unsafe_path: Managed path contains a reparse point");
  write_file(mounted.point / "stale.old", "theirs");
  write_file(root / "data" / "stale.old", "ours");
  sweep_old_files(root);
  EXPECT_TRUE(fs::exists(mounted.point / "stale.old"));
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

class PreparedFileTest : public ::testing::Test {
 protected:
  TempDir temp;
  fs::path target = temp / "file.bin";
};

TEST_F(PreparedFileTest, LengthRules) {
  auto file = create_prepared_file(target, 4);
  file->write("abc");
  EXPECT_EQ(outcome([&] { file->write("de"); }), "size_limit: Write exceeds the authenticated file length");
  EXPECT_EQ(outcome([&] { file->complete(true); }),
            "length_mismatch: File data is shorter than its authenticated length");
  // Without the full-length requirement the reserved tail is dropped; nothing of the refused chunk was written.
  file->complete(false);
  file.reset();
  EXPECT_EQ(read_file(target), "abc");

  EXPECT_EQ(outcome([&] { create_prepared_file(temp / "huge", UINT64_MAX); }),
            "size_limit: File allocation exceeds native length bounds");
  EXPECT_FALSE(fs::exists(temp / "huge"));
}

TEST_F(PreparedFileTest, ReservesWhereTheFileSystemCanAndCarriesOnWhereItCannot) {
  // tmpfs reserves and so runs out before any byte is written; ramfs cannot reserve at all.
  const std::string data(1 << 20, 'x');
  const Unmount tmpfs = mount_memory(temp / "tmpfs", "tmpfs", "size=64k,mode=0700");
  EXPECT_EQ(outcome([&] { create_prepared_file(tmpfs.point / "big", data.size()); }),
            "insufficient_space: Cannot reserve file data; free space or choose other game storage");
  EXPECT_FALSE(fs::exists(tmpfs.point / "big"));
  auto small = create_prepared_file(tmpfs.point / "small", 10);
  EXPECT_TRUE(small->allocated());
  EXPECT_EQ(fs::file_size(tmpfs.point / "small"), 10u) << "reserved at its final length before any write";

  const Unmount ramfs = mount_memory(temp / "ramfs", "ramfs", "size=64k,mode=0700");
  auto file = create_prepared_file(ramfs.point / "big", data.size());
  EXPECT_FALSE(file->allocated());
  EXPECT_EQ(fs::file_size(ramfs.point / "big"), 0u);
  file->write(data);
  file->complete(true);
  file.reset();
  EXPECT_EQ(read_file(ramfs.point / "big"), data);
}

TEST_F(PreparedFileTest, RefusesExistingPathsAndUnusableParents) {
  write_file(target, "old");
  EXPECT_EQ(outcome([&] { create_prepared_file(target, 1); }),
            "unsafe_path: Cannot exclusively create or reopen a prepared allocation (17)");
  EXPECT_EQ(read_file(target), "old");

  fs::create_directory(temp / "real");
  fs::create_directory_symlink(temp / "real", temp / "linked");
  EXPECT_EQ(outcome([&] { create_prepared_file(temp / "linked" / "x", 1); }),
            "unsafe_path: Allocation requires an ordinary parent directory");
  EXPECT_FALSE(fs::exists(temp / "real" / "x"));

  fs::create_directory(temp / "shared");
  fs::permissions(temp / "shared", fs::perms(0755));
  EXPECT_EQ(outcome([&] { create_prepared_file(temp / "shared" / "x", 1); }).substr(0, 12), "permissions:");
  EXPECT_FALSE(fs::exists(temp / "shared" / "x"));
}

// An abandoned prepared file removes itself (as the failed ownership record shows), but only while
// its name still leads to it.
TEST_F(PreparedFileTest, ReleaseRemovesOnlyItsOwnUncompletedFile) {
  auto file = create_prepared_file(target, 8);
  // Someone replaces the name with another file, which leaves ours without a link.
  write_file(temp / "other", "replacement");
  fs::rename(temp / "other", target);
  EXPECT_EQ(outcome([&] { file->complete(false); }), "allocation_changed: Allocated file changed before completion");
  file.reset();
  EXPECT_EQ(read_file(target), "replacement") << "a replacement is never removed";
}

// Every step checks the handle's link count and the name's identity; each is shown once.
TEST_F(PreparedFileTest, StepsDetectHardLinksAndRenames) {
  auto linked = create_prepared_file(temp / "linked", 4);
  fs::create_hard_link(temp / "linked", temp / "alias");
  EXPECT_EQ(outcome([&] { linked->complete(false); }), "unsafe_path: Allocation requires an ordinary single-link file");

  auto moved = create_prepared_file(temp / "moved", 4);
  fs::rename(temp / "moved", temp / "elsewhere");
  EXPECT_EQ(outcome([&] { moved->set_executable(true); }),
            "allocation_changed: Allocated file changed before setting executable permissions");
}

TEST_F(PreparedFileTest, OwnershipCallbackSeesTheEmptyFileOnce) {
  int calls = 0;
  auto file = create_prepared_file(target, 3, [&](PreparedFile&) {
    ++calls;
    EXPECT_EQ(fs::file_size(target), 0u);
  });
  EXPECT_EQ(calls, 1);

  EXPECT_EQ(outcome([&] { create_prepared_file(temp / "other", 3, [&](PreparedFile& f) { f.write("x"); }); }),
            "allocation_changed: New allocation changed while recording ownership");
  EXPECT_FALSE(fs::exists(temp / "other")) << "the failed allocation is released";
}

TEST_F(PreparedFileTest, DirectoryIdentityRefusesLinks) {
  fs::create_directory(temp / "dir");
  fs::create_directory_symlink(temp / "dir", temp / "junction");
  EXPECT_EQ(outcome([&] { prepared_directory_identity(temp / "junction"); }),
            "unsafe_path: Prepared directory is linked, replaced or unavailable");
  EXPECT_EQ(outcome([&] { prepared_directory_identity(temp / "absent"); }),
            "unsafe_path: Cannot inspect prepared directory identity");
}

}  // namespace
}  // namespace tovra::testing
