#include "snapshot/extract.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <vector>

#include "core/error.h"
#include "core/test_util.h"
#include "snapshot/decoder.h"
#include "snapshot_fixture.h"
#include "support/links.h"

namespace tovra::testing {
namespace {

namespace fs = std::filesystem;
using builder::tar_file;
using builder::tar_special;
using builder::TarType;

class ExtractTest : public SealedSample {
 protected:
  std::string extract(const SnapshotManifest& with, const HashProgress& progress = {}) {
    return outcome([&] { extract_snapshot(with, archive, dest, progress); });
  }
};

TEST_F(ExtractTest, ExtractsATrustedArchiveIntoAFreshFolderUntilCancelled) {
  const std::string differs = "content_mismatch: Snapshot differs from its verified application manifest";
  SnapshotManifest wrong_digest = manifest;
  wrong_digest.sha256[0] = wrong_digest.sha256[0] == '0' ? '1' : '0';
  SnapshotManifest wrong_length = manifest;
  wrong_length.length += 1;
  for (const auto* bad : {&wrong_digest, &wrong_length}) {
    EXPECT_EQ(extract(*bad), differs);
    EXPECT_FALSE(fs::exists(dest)) << "nothing may be created before the archive is trusted";
  }

  std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
  EXPECT_EQ(extract(manifest, [&](std::uint64_t done, std::uint64_t total) {
              reports.emplace_back(done, total);
              return true;
            }),
            "ok");
  for (const auto& file : inventory) EXPECT_EQ(read_file(dest / file.path), file.content) << file.path;
  ASSERT_FALSE(reports.empty());
  for (const auto& report : reports) EXPECT_EQ(report.second, manifest.expanded_length);
  EXPECT_EQ(reports.back().first, manifest.expanded_length);

  EXPECT_EQ(extract(manifest), "staging_exists: A fresh staging directory is required");
  fs::remove_all(dest);

  int calls = 0;
  EXPECT_EQ(extract(manifest, [&](std::uint64_t, std::uint64_t) { return ++calls < 3; }).substr(0, 10), "cancelled:");
  EXPECT_EQ(calls, 3);

  TOVRA_NEEDS_SYMLINKS();
  testing::make_symlink(archive, temp / "link.tar.zst");
  EXPECT_EQ(outcome([&] { extract_snapshot(manifest, temp / "link.tar.zst", temp / "other"); }), differs);
}

// The sample with a first entry named "data/" and two bytes that are not UTF-8. They are put into
// the header afterwards (and its checksum made right): the builder's character conversion would
// turn them into UTF-8 where the narrow character set is not UTF-8, as on Windows.
std::string with_name_not_utf8(const std::vector<InventoryFile>& inventory) {
  auto entries = entries_for(inventory);
  entries.insert(entries.begin(), tar_file("data/~~", "?"));
  std::string tar = builder::make_tar(entries);
  tar.replace(5, 2, "\xff\xfe");
  tar.replace(148, 8, 8, ' ');
  unsigned sum = 0;
  for (std::size_t i = 0; i < 512; ++i) sum += static_cast<unsigned char>(tar[i]);
  std::string field(8, '\0');
  std::snprintf(field.data(), field.size(), "%06o", sum);
  tar.replace(148, 7, field.substr(0, 7));
  return zstd_frame(tar);
}

// One archive of the sample per refusal, sealed as the publisher would seal it.
TEST_F(ExtractTest, HostileArchivesAreRefusedWithoutWritingOutsideTheDestination) {
  using Tars = std::vector<TarEntry>;
  const auto edited = [&](const std::function<void(Tars&)>& edit) {
    auto entries = entries_for(inventory);
    edit(entries);
    return zstd_frame(builder::make_tar(entries));
  };
  const std::string unexpected = "archive_inventory: Archive contains an unexpected or duplicate file";
  const std::string ordinary = "archive_type: Only ordinary files are accepted in snapshots";
  const struct {
    const char* name;
    std::string bytes;
    std::string expected;
  } cases[] = {
      {"parent traversal", edited([](Tars& e) { e.insert(e.begin(), tar_file("../outside", "escape")); }),
       "unsafe_path: Path contains an unsafe component"},
      {"symbolic link", edited([](Tars& e) { e[0] = tar_special(TarType::symlink, "bin/tool", "../../x"); }),
       ordinary},
      {"hard link", edited([](Tars& e) { e.push_back(tar_special(TarType::hardlink, "bin/h", "../x")); }),
       ordinary},
      {"extended attribute", edited([](Tars& e) { e[1].xattrs = {{"user.note", "x"}}; }), ordinary},
      {"name not UTF-8", with_name_not_utf8(inventory), "archive_path: Archive path is not valid UTF-8"},
      {"unlisted entry", edited([](Tars& e) { e.push_back(tar_file("data/unlisted", "?")); }), unexpected},
      {"wrong size", edited([](Tars& e) { e[1].data += "!"; }),
       "archive_inventory: Archive file length or mode differs from manifest"},
      {"one entry missing", edited([](Tars& e) { e.pop_back(); }), "archive: Snapshot is incomplete or malformed"},
      {"altered content", edited([](Tars& e) { e[2].data[0] = 'Z'; }),
       "content_mismatch: Extracted file hash differs from manifest"},
      // A valid tar stream padded with 4 MiB of zeros, past the bound of 4 x 8192 + 70,028 + 10,240
      // bytes: the decoder's second 64 KiB block crosses it while the reader is inside data/a.txt.
      {"decompression bomb", zstd_frame(builder::make_tar(entries_for(inventory)) + std::string(4u << 20, '\0')),
       "archive: Snapshot decompression failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir case_temp;
    SnapshotManifest expected = manifest;
    seal_archive(expected, case_temp / "snapshot.tar.zst", c.bytes);
    EXPECT_EQ(outcome([&] { extract_snapshot(expected, case_temp / "snapshot.tar.zst", case_temp / "dest"); }),
              c.expected);
    // Anything written outside the destination would lie beside it.
    EXPECT_EQ(names_in(case_temp.path()), (std::vector<std::string>{"dest", "snapshot.tar.zst"}));
  }
}

// The decoder alone, where each frame rule has exactly one answer.
TEST_F(ExtractTest, DecoderEnforcesOneBoundedFrame) {
  const std::string tar = builder::make_tar(entries_for(inventory));
  const std::uint64_t bound = tar.size() + 1;
  const std::string frame = zstd_frame(tar);
  const std::string one_frame = "archive: Snapshot must contain exactly one ordinary Zstandard frame";
  const struct {
    const char* name;
    std::string bytes;
    std::uint64_t bound;
    std::string expected;  // empty: decodes
  } cases[] = {
      {"window of exactly 64 MiB", zstd_frame(tar, 26), bound, ""},
      {"bound of exactly the stream", frame, tar.size(), ""},
      {"bound one short", frame, tar.size() - 1, "size_limit: Decoded tar stream exceeds authenticated expansion bounds"},
      {"window log 27", zstd_frame(tar, 27), bound,
       "archive: Snapshot decoding failed or exceeds the 64 MiB window limit"},
      {"two frames", frame + frame, bound * 2, "archive: Trailing or concatenated Zstandard frames are forbidden"},
      {"truncated", frame.substr(0, frame.size() - 1), bound, "archive: Snapshot frame is truncated"},
      {"skippable first", builder::zstd_skippable_frame("x") + frame, bound, one_frame},
      {"empty file", "", bound, one_frame},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(archive, c.bytes);
    std::string decoded;
    EXPECT_EQ(outcome([&] {
                BoundedSnapshotDecoder decoder(archive, c.bound);
                for (auto block = decoder.next_block(); !block.empty(); block = decoder.next_block())
                  decoded.append(block);
                EXPECT_TRUE(decoder.finished());
                decoder.drain();
                EXPECT_EQ(decoded, tar);
              }),
              c.expected.empty() ? "ok" : c.expected);
  }
}

TEST(ExpansionBound, AllowsHeadersPerFileAndRefusesOverflow) {
  EXPECT_EQ(snapshot_expansion_bound(2, 100), 2u * 8192 + 100 + 10240);
  EXPECT_THROW(snapshot_expansion_bound(UINT64_MAX / 8192 + 1, 0), Error);
  EXPECT_THROW(snapshot_expansion_bound(1, UINT64_MAX - 10240), Error);
}

}  // namespace
}  // namespace tovra::testing
