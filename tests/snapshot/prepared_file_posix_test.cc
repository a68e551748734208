#include "platform/prepared_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/error.h"
#include "core/test_util.h"
#include "snapshot_fixture.h"

namespace tovra::testing {
namespace {

namespace fs = std::filesystem;

class PreparedFileTest : public ::testing::Test {
 protected:
  TempDir temp;
  fs::path target = temp / "file.bin";
};

TEST_F(PreparedFileTest, WritesReservesAndCompletesPrivately) {
  const mode_t umask_before = ::umask(0277);  // a umask that takes the owner's own bits
  auto file = create_prepared_file(target, 10);
  auto empty = create_prepared_file(temp / "empty", 0);
  ::umask(umask_before);
  // Where the file system reserves, the file already has its final length.
  EXPECT_EQ(fs::file_size(target), file->allocated() ? 10u : 0u);
  file->write("01234");
  file->write("56789");
  file->set_executable(true);
  file->complete(true);
  empty->set_executable(false);
  empty->complete(true);
  EXPECT_EQ(read_file(target), "0123456789");
  EXPECT_EQ(mode_of(target), 0700u);
  EXPECT_EQ(fs::file_size(temp / "empty"), 0u);
  EXPECT_EQ(mode_of(temp / "empty"), 0600u);
}

TEST_F(PreparedFileTest, LengthRules) {
  auto file = create_prepared_file(target, 4);
  file->write("abc");
  EXPECT_EQ(outcome([&] { file->write("de"); }), "size_limit: Write exceeds the authenticated file length");
  EXPECT_EQ(file->written(), 3u) << "nothing of a refused chunk is written";
  EXPECT_EQ(outcome([&] { file->complete(true); }),
            "length_mismatch: File data is shorter than its authenticated length");
  // Without the full-length requirement the reserved tail is dropped.
  file->complete(false);
  file.reset();
  EXPECT_EQ(read_file(target), "abc");

  EXPECT_EQ(outcome([&] { create_prepared_file(temp / "huge", UINT64_MAX); }),
            "size_limit: File allocation exceeds native length bounds");
  EXPECT_FALSE(fs::exists(temp / "huge"));
}

TEST_F(PreparedFileTest, ReservesWhereTheFileSystemCanAndCarriesOnWhereItCannot) {
  // tmpfs reserves and so runs out before any byte is written; ramfs cannot reserve at all.
  for (const std::string type : {"tmpfs", "ramfs"}) {
    SCOPED_TRACE(type);
    const fs::path mount = temp / type;
    fs::create_directory(mount);
    ASSERT_EQ(run_quiet("mount -t " + type + " -o size=64k,mode=0700 " + type + " " + quoted(mount)), 0);
    const Unmount unmount{mount};
    const std::string data(1 << 20, 'x');
    if (type == "tmpfs") {
      EXPECT_EQ(testing::outcome([&] { create_prepared_file(mount / "big", data.size()); }),
                "insufficient_space: Cannot reserve file data; free space or choose other game storage");
      EXPECT_FALSE(fs::exists(mount / "big"));
      continue;
    }
    auto file = create_prepared_file(mount / "big", data.size());
    EXPECT_FALSE(file->allocated());
    EXPECT_EQ(fs::file_size(mount / "big"), 0u);
    file->write(data);
    file->complete(true);
    file.reset();
    EXPECT_EQ(read_file(mount / "big"), data);
  }
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

TEST_F(PreparedFileTest, ReleaseRemovesOnlyItsOwnUncompletedFile) {
  {
    auto file = create_prepared_file(target, 8);
    file->write("part");
  }
  EXPECT_FALSE(fs::exists(target)) << "an abandoned prepared file removes itself";

  {
    auto file = create_prepared_file(target, 8);
    file->write("part");
    // Someone replaces the name with another file, which leaves ours without a link.
    write_file(temp / "other", "replacement");
    fs::rename(temp / "other", target);
    EXPECT_EQ(outcome([&] { file->write("more"); file->complete(true); }),
              "allocation_changed: Allocated file changed before completion");
  }
  EXPECT_EQ(read_file(target), "replacement") << "a replacement is never removed";
}

TEST_F(PreparedFileTest, DetectsHardLinksAndRenamesAtEveryStep) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> interfere;
    std::function<void(PreparedFile&)> step;
    std::string expected;
  };
  const auto link = [&](const fs::path& path) { fs::create_hard_link(path, temp / "alias"); };
  const auto move_away = [&](const fs::path& path) { fs::rename(path, temp / "moved"); };
  const std::vector<Case> cases = {
      {"hard link before executable", link, [](PreparedFile& f) { f.set_executable(true); },
       "unsafe_path: Allocation requires an ordinary single-link file"},
      {"hard link before completion", link, [](PreparedFile& f) { f.complete(false); },
       "unsafe_path: Allocation requires an ordinary single-link file"},
      {"renamed before executable", move_away, [](PreparedFile& f) { f.set_executable(false); },
       "allocation_changed: Allocated file changed before setting executable permissions"},
      {"renamed before completion", move_away, [](PreparedFile& f) { f.complete(false); },
       "allocation_changed: Allocated file changed before completion"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir scratch;
    const fs::path path = scratch / "f";
    {
      auto file = create_prepared_file(path, 4);
      file->write("ab");
      c.interfere(path);
      EXPECT_EQ(outcome([&] { c.step(*file); }), c.expected);
    }
    fs::remove(temp / "alias");
    fs::remove(temp / "moved");
  }
}

TEST_F(PreparedFileTest, OwnershipCallbackSeesTheEmptyFileOnce) {
  int calls = 0;
  auto file = create_prepared_file(target, 3, [&](PreparedFile& f) {
    ++calls;
    EXPECT_EQ(f.written(), 0u);
    EXPECT_EQ(fs::file_size(target), 0u);
  });
  EXPECT_EQ(calls, 1);
  file.reset();

  EXPECT_EQ(outcome([&] { create_prepared_file(target, 3, [&](PreparedFile& f) { f.write("x"); }); }),
            "allocation_changed: New allocation changed while recording ownership");
  EXPECT_FALSE(fs::exists(target)) << "the failed allocation is released";
}

TEST_F(PreparedFileTest, DirectoryIdentityRefusesLinks) {
  fs::create_directory(temp / "dir");
  const PreparedIdentity first = prepared_directory_identity(temp / "dir");
  EXPECT_EQ(prepared_directory_identity(temp / "dir" / "."), first);
  fs::create_directory(temp / "sibling");
  EXPECT_FALSE(prepared_directory_identity(temp / "sibling") == first);

  fs::create_directory_symlink(temp / "dir", temp / "junction");
  EXPECT_EQ(outcome([&] { prepared_directory_identity(temp / "junction"); }),
            "unsafe_path: Prepared directory is linked, replaced or unavailable");
  EXPECT_EQ(outcome([&] { prepared_directory_identity(temp / "absent"); }),
            "unsafe_path: Cannot inspect prepared directory identity");
}

}  // namespace
}  // namespace tovra::testing
