#pragma once
// Builds small snapshots for the tests: an inventory, its manifest and a matching archive.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/digest.h"
#include "core/paths.h"
#include "core/test_util.h"
#include "package/snapshot_manifest.h"
#include "package/archive.h"
#include "support/temp_dir.h"

namespace tovra::testing {

struct InventoryFile {
  std::string path;
  std::string content;
  bool executable = false;
};

inline std::vector<InventoryFile> sample_inventory() {
  return {{"bin/tool", "#!/bin/sh\necho tool\n", true},
          {"data/a.txt", std::string(70000, 'a') + "tail"},
          {"data/deep/b.bin", std::string("\0\1\2\3", 4)},
          {"empty", ""}};
}

// The inventory part of a manifest (the archive's length and digest come from seal_archive);
// the snapshot code reads nothing else.
inline SnapshotManifest manifest_for(const std::vector<InventoryFile>& inventory) {
  SnapshotManifest manifest;
  for (const auto& file : inventory) {
    manifest.files[file.path] = SnapshotFile{file.content.size(), digest_hex(file.content, "sha256"), file.executable};
    manifest.expanded_length += file.content.size();
  }
  return manifest;
}

using builder::TarEntry;

inline std::vector<TarEntry> entries_for(const std::vector<InventoryFile>& inventory) {
  std::vector<TarEntry> entries;
  for (const auto& file : inventory) entries.push_back(builder::tar_file(file.path, file.content, file.executable ? 0755 : 0644));
  return entries;
}

// A frame that keeps its declared window, as a hostile publisher could write it.
inline std::string zstd_frame(std::string_view data, int window_log = 20) {
  return builder::zstd_compress(data, {3, window_log, false, true});
}

// Writes the archive and records its length and digest in the manifest.
inline void seal_archive(SnapshotManifest& manifest, const std::filesystem::path& archive, const std::string& bytes) {
  write_file(archive, bytes);
  manifest.length = bytes.size();
  manifest.sha256 = digest_hex(bytes, "sha256");
}

// Lays the inventory out as plain files, as an installation would leave it.
inline void lay_out(const std::filesystem::path& root, const std::vector<InventoryFile>& inventory) {
  for (const auto& file : inventory) {
    std::filesystem::create_directories((root / native_path(file.path)).parent_path());
    write_file(root / native_path(file.path), file.content);
  }
}

// A memory file system (as root) at `point`, for many files quickly or a small, full volume.
inline Unmount mount_memory(const std::filesystem::path& point, const std::string& type = "tmpfs",
                            const std::string& options = "mode=0700") {
  std::filesystem::create_directory(point);
  EXPECT_EQ(run_quiet("mount -t " + type + " -o " + options + " " + type + " " + quoted(point)), 0);
  return Unmount{point};
}

// The sample inventory sealed as an archive in a fresh folder.
class SealedSample : public ::testing::Test {
 protected:
  TempDir temp;
  std::filesystem::path archive = temp / "snapshot.tar.zst";
  std::filesystem::path dest = temp / "dest";
  std::vector<InventoryFile> inventory = sample_inventory();
  SnapshotManifest manifest = manifest_for(inventory);

  void SetUp() override { seal_archive(manifest, archive, zstd_frame(builder::make_tar(entries_for(inventory)))); }
};

}  // namespace tovra::testing
