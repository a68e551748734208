#include "snapshot/tree.h"

#include <gtest/gtest.h>

#include <fstream>

#include "core/error.h"
#include "core/test_util.h"
#include "snapshot/extract.h"
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

TEST_F(TreeTest, AcceptsExactTreesAndExtraEmptyDirectoriesUntilCancelled) {
  verify_snapshot_tree(manifest, root);
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
}

TEST_F(TreeTest, EachDifferenceHasItsProblem) {
  TOVRA_NEEDS_SYMLINKS();
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> damage;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"extra file deep down", [](const fs::path& r) { write_file(r / "data" / "deep" / "x", "1"); },
       "unexpected_file: Game tree contains an unmanaged file"},
      {"name that is not UTF-8", [](const fs::path& r) { write_file(r / "data" / "bad\xff", "1"); },
       "unexpected_file: Game tree contains an unmanaged file"},
      {"file where a listed name differs in case", [](const fs::path& r) {
         fs::rename(r / "empty", r / "EMPTY");
       }, "unexpected_file: Game tree contains an unmanaged file"},
      {"missing file", [](const fs::path& r) { fs::remove(r / "data" / "deep" / "b.bin"); },
       "missing_file: Game content is incomplete; repair is available"},
      {"one byte changed", [](const fs::path& r) {
         std::string content = read_file(r / "data" / "a.txt");
         content[100] = 'b';
         write_file(r / "data" / "a.txt", content);
       }, "content_mismatch: Game content differs from the verified manifest: data/a.txt"},
      {"length changed", [](const fs::path& r) { write_file(r / "empty", "x"); },
       "content_mismatch: Game content differs from the verified manifest: empty"},
      {"listed file is a directory", [](const fs::path& r) {
         fs::remove(r / "empty");
         fs::create_directory(r / "empty");
         write_file(r / "extra", "");
       }, "unexpected_file: Game tree contains an unmanaged file"},
      {"link inside", [](const fs::path& r) { testing::make_symlink("/etc/passwd", r / "data" / "link"); },
       "unsafe_path: Game tree contains a symbolic link"},
      {"listed file replaced by a link", [](const fs::path& r) {
         fs::remove(r / "bin" / "tool");
         testing::make_symlink("/bin/sh", r / "bin" / "tool");
       }, "unsafe_path: Game tree contains a symbolic link"},
      {"directory link inside", [](const fs::path& r) { testing::make_directory_symlink("/", r / "bin" / "up"); },
       "unsafe_path: Game tree contains a symbolic link"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir scratch;
    const fs::path tree = scratch / "root";
    lay_out(tree, inventory);
    c.damage(tree);
    EXPECT_EQ(outcome([&] { verify_snapshot_tree(manifest, tree); }), c.expected);
  }
}

TEST_F(TreeTest, RootMustBeAnOrdinaryDirectory) {
  TOVRA_NEEDS_SYMLINKS();
  testing::make_directory_symlink(root, temp / "linked");
  for (const fs::path& bad : {temp / "linked", temp / "absent", root / "empty"}) {
    SCOPED_TRACE(bad.string());
    EXPECT_EQ(outcome([&] { verify_snapshot_tree(manifest, bad); }),
              "unsafe_path: Game content directory is missing or linked");
  }
}

TEST_F(TreeTest, EntryCountIsBoundedBeforeHashing) {
  if (under_wine()) GTEST_SKIP() << "Wine makes a folder in about 8 ms here: 250,001 entries would take over 30 minutes";
  const fs::path mount = temp / "mnt";
  fs::create_directory(mount);
  // Many folders, quickly, where a memory file system can be mounted (POSIX, as root).
  run_quiet("mount -t tmpfs -o mode=0700 tmpfs " + quoted(mount));
  const Unmount unmount{mount};
  lay_out(mount, inventory);
  // The inventory lays out 4 files in 3 folders; empty folders make up 250,001 entries.
  for (int i = 7; i <= 250000; ++i) fs::create_directory(mount / ("d" + std::to_string(i)));
  bool hashed = false;
  EXPECT_EQ(testing::outcome([&] { verify_snapshot_tree(manifest, mount, [&](std::uint64_t, std::uint64_t) { return hashed = true; }); }),
            "size_limit: Game directory entry count exceeds bounds");
  EXPECT_FALSE(hashed);
}

TEST_F(TreeTest, GrowingFileIsCaughtWhileHashing) {
  // Appends to the big file while it is being hashed.
  bool grown = false;
  const std::string failure = outcome([&] {
    verify_snapshot_tree(manifest, root, [&](std::uint64_t done, std::uint64_t) {
      if (!grown && done > 20 && done < 20 + 70004) {  // inside data/a.txt, after bin/tool
        std::ofstream(root / "data" / "a.txt", std::ios::app) << std::string(200000, 'g');
        grown = true;
      }
      return true;
    });
  });
  EXPECT_TRUE(grown);
  EXPECT_EQ(failure.substr(0, 17), "content_mismatch:") << failure;
  EXPECT_NE(failure.find("beyond its"), std::string::npos) << failure;
}

TEST(SweepOldFiles, RemovesOnlyOldEntriesAndNeverRaises) {
  TempDir temp;
  fs::create_directories(temp / "bin");
  write_file(temp / "bin" / "a.old", "1");
  write_file(temp / "bin" / "a.older", "2");
  write_file(temp / "top.old", "3");
  fs::create_directories(temp / "cache.old" / "inner");
  fs::create_directory(temp / "empty.old");
  sweep_old_files(temp.path());
  EXPECT_FALSE(fs::exists(temp / "bin" / "a.old"));
  EXPECT_FALSE(fs::exists(temp / "top.old"));
  EXPECT_FALSE(fs::exists(temp / "empty.old"));
  EXPECT_TRUE(fs::exists(temp / "bin" / "a.older"));
  EXPECT_TRUE(fs::exists(temp / "cache.old" / "inner"));
  EXPECT_NO_THROW(sweep_old_files(temp / "absent"));
  EXPECT_NO_THROW(sweep_old_files(temp / "bin" / "a.older"));
}

// A mounted file system inside the tree is never entered: verification refuses it and the sweep
// leaves what is on it.
TEST_F(TreeTest, BootstrapHealthAnswersWithoutRaising) {
  const fs::path kept = temp / "bootstrap.json";
  write_file(kept, manifest_document(manifest).dump());
  write_file(root / "bin" / "tool.old", "left over");
  EXPECT_TRUE(bootstrap_intact(root, kept));
  EXPECT_FALSE(fs::exists(root / "bin" / "tool.old")) << "the health check sweeps first";

  write_file(root / "empty", "changed");
  EXPECT_FALSE(bootstrap_intact(root, kept));
  write_file(root / "empty", "");
  EXPECT_TRUE(bootstrap_intact(root, kept));

  EXPECT_FALSE(bootstrap_intact(root, temp / "absent.json"));
  write_file(kept, "{\"schema_version\":1}");
  EXPECT_FALSE(bootstrap_intact(root, kept));
  write_file(kept, std::string(524289, ' '));
  EXPECT_FALSE(bootstrap_intact(root, kept));
}

}  // namespace
}  // namespace tovra::testing
