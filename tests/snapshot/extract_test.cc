#include "snapshot/extract.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <set>
#include <vector>

#include "core/error.h"
#include "core/test_util.h"
#include "snapshot/decoder.h"
#include "snapshot_fixture.h"
#include "support/links.h"

namespace tovra::testing {
namespace {

namespace fs = std::filesystem;

std::string error_text(const Error& error) { return error.code() + ": " + error.what(); }

// Everything below `root` except the destination tree and the archive itself.
std::set<std::string> strays(const fs::path& root) {
  std::set<std::string> found;
  for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
    const std::string name = it->path().lexically_relative(root).generic_string();
    if (name == "dest" || name.rfind("dest/", 0) == 0 || name == "snapshot.tar.zst") continue;
    found.insert(name);
  }
  return found;
}

class ExtractTest : public ::testing::Test {
 protected:
  TempDir temp;
  fs::path archive = temp / "snapshot.tar.zst";
  fs::path dest = temp / "dest";
};

TEST_F(ExtractTest, ExtractsEveryInventoryFileAndReportsProgress) {
  const auto inventory = sample_inventory();
  SnapshotManifest manifest = manifest_for(inventory);
  seal_archive(manifest, archive, zstd_frame(builder::make_tar(entries_for(inventory))));

  std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
  extract_snapshot(manifest, archive, dest, [&](std::uint64_t done, std::uint64_t total) {
    reports.emplace_back(done, total);
    return true;
  });

  for (const auto& file : inventory) {
    SCOPED_TRACE(file.path);
    EXPECT_EQ(read_file(dest / file.path), file.content);
  }
  ASSERT_FALSE(reports.empty());
  for (const auto& [done, total] : reports) {
    EXPECT_LE(done, total);
    EXPECT_EQ(total, manifest.expanded_length);
  }
  EXPECT_EQ(reports.back().first, manifest.expanded_length);
}

TEST_F(ExtractTest, RefusesWrongArchiveExistingDestinationAndCancellation) {
  TOVRA_NEEDS_SYMLINKS();
  const auto inventory = sample_inventory();
  SnapshotManifest manifest = manifest_for(inventory);
  seal_archive(manifest, archive, zstd_frame(builder::make_tar(entries_for(inventory))));

  SnapshotManifest wrong_digest = manifest;
  wrong_digest.sha256[0] = wrong_digest.sha256[0] == '0' ? '1' : '0';
  SnapshotManifest wrong_length = manifest;
  wrong_length.length += 1;
  for (const auto* bad : {&wrong_digest, &wrong_length}) {
    EXPECT_EQ(outcome([&] { extract_snapshot(*bad, archive, dest); }),
              "content_mismatch: Snapshot differs from its verified application manifest");
    EXPECT_FALSE(fs::exists(dest)) << "nothing may be created before the archive is trusted";
  }

  testing::make_symlink(archive, temp / "link.tar.zst");
  EXPECT_EQ(outcome([&] { extract_snapshot(manifest, temp / "link.tar.zst", dest); }).substr(0, 16), "content_mismatch");

  fs::create_directory(dest);
  EXPECT_EQ(outcome([&] { extract_snapshot(manifest, archive, dest); }),
            "staging_exists: A fresh staging directory is required");
  fs::remove(dest);

  int calls = 0;
  EXPECT_EQ(outcome([&] {
              extract_snapshot(manifest, archive, dest, [&](std::uint64_t, std::uint64_t) { return ++calls < 3; });
            }).substr(0, 9),
            "cancelled");
  EXPECT_EQ(calls, 3);
}

struct Hostile {
  const char* name;
  // Builds the archive bytes; may adjust the inventory first.
  std::function<std::string(std::vector<InventoryFile>&)> build;
  const char* code;
  std::vector<std::string> messages;  // any one of these messages or codes (empty: the code alone decides)
};

std::string framed(const std::vector<TarEntry>& entries) { return zstd_frame(builder::make_tar(entries)); }

// The sample with a first entry named "data/" and two bytes that are not UTF-8. They are put into
// the header afterwards (and its checksum made right): the builder's character conversion would
// turn them into UTF-8 where the narrow character set is not UTF-8, as on Windows.
std::string with_name_not_utf8(const std::vector<InventoryFile>& inventory) {
  auto entries = entries_for(inventory);
  entries.insert(entries.begin(), builder::tar_file("data/~~", "?"));
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

using builder::tar_file;
using builder::tar_special;
using builder::TarType;

const std::string kUnexpected = "Archive contains an unexpected or duplicate file";
const std::string kLengthOrMode = "Archive file length or mode differs from manifest";
const std::string kOrdinary = "Only ordinary files are accepted in snapshots";
const std::string kMalformed = "Snapshot is incomplete or malformed";
const std::string kDecompression = "Snapshot decompression failed";
const std::string kTrailing = "Trailing or concatenated Zstandard frames are forbidden";
const std::string kCannotOpen = "Cannot open snapshot archive";

std::vector<Hostile> hostile_archives() {
  using Inv = std::vector<InventoryFile>;
  using Tars = std::vector<TarEntry>;
  const auto with_extra = [](TarEntry extra, bool first) {
    return [extra, first](Inv& inv) {
      auto entries = entries_for(inv);
      if (first) entries.insert(entries.begin(), extra);
      else entries.push_back(extra);
      return framed(entries);
    };
  };
  // The sample entries changed by `edit`.
  const auto edited = [](std::function<void(Tars&)> edit) {
    return [edit](Inv& inv) {
      auto entries = entries_for(inv);
      edit(entries);
      return framed(entries);
    };
  };
  // A 512-byte hole, then the data.
  TarEntry sparse = tar_file("data/a.txt", "x");
  sparse.size = 513;
  sparse.sparse = {{512, 1}};

  return {
      {"parent traversal", with_extra(tar_file("../outside", "escape"), true), "unsafe_path", {}},
      {"nested traversal", with_extra(tar_file("bin/../../outside", "escape"), true), "unsafe_path", {}},
      {"absolute name", with_extra(tar_file("/tmp/tovra-outside", "escape"), true), "unsafe_path", {}},
      {"dot prefix", edited([](Tars& e) { e[0].path = "./" + e[0].path; }), nullptr, {kUnexpected, "unsafe_path"}},
      {"symbolic link", with_extra(tar_special(TarType::symlink, "bin/link", "../../outside"), true), "archive_type", {kOrdinary}},
      {"hard link", with_extra(tar_special(TarType::hardlink, "bin/hard", "../outside"), false), "archive_type", {kOrdinary}},
      {"directory", with_extra(tar_special(TarType::directory, "bin"), true), "archive_type", {kOrdinary}},
      {"sparse entry", [sparse](Inv& inv) {
         auto entries = entries_for(inv);
         entries[1] = sparse;
         inv[1].content = std::string(512, '\0') + "x";
         return framed(entries);
       }, "archive_type", {kOrdinary}},
      {"extended attribute", edited([](Tars& e) { e[1].xattrs = {{"user.note", "x"}}; }), "archive_type", {kOrdinary}},
      {"duplicate entry", edited([](Tars& e) { e.push_back(e[0]); }), "archive_inventory", {kUnexpected}},
      {"unlisted entry", with_extra(tar_file("data/unlisted", "?"), true), "archive_inventory", {kUnexpected}},
      {"case-changed name", edited([](Tars& e) { e[0].path = "BIN/tool"; }), "archive_inventory", {kUnexpected}},
      {"wrong size", edited([](Tars& e) { e[1].data += "!"; }), "archive_inventory", {kLengthOrMode}},
      {"executable bit on a data file", edited([](Tars& e) { e[1].mode = 0755; }), "archive_inventory", {kLengthOrMode}},
      {"set-uid executable", edited([](Tars& e) { e[0].mode = 04755; }), "archive_inventory", {kLengthOrMode}},
      {"one entry missing", edited([](Tars& e) { e.pop_back(); }), "archive", {kMalformed}},
      {"altered content", edited([](Tars& e) { e[2].data[0] = 'Z'; }), "content_mismatch", {"Extracted file hash differs from manifest"}},
      {"tar split over two frames", [](Inv& inv) {
         const std::string tar = builder::make_tar(entries_for(inv));
         return zstd_frame(tar.substr(0, 1024)) + zstd_frame(tar.substr(1024));
       }, "archive", {kTrailing, kMalformed, kDecompression, kCannotOpen}},
      {"decompression bomb", [](Inv& inv) {
         // A valid tar stream padded with 4 MiB of zeros, far past the bound for this inventory.
         return zstd_frame(builder::make_tar(entries_for(inv)) + std::string(4u << 20, '\0'));
       }, nullptr, {"Decoded tar stream exceeds authenticated expansion bounds", kMalformed, kDecompression}},
  };
}

TEST_F(ExtractTest, HostileArchivesAreRefusedWithoutWritingOutsideTheDestination) {
  for (const Hostile& hostile : hostile_archives()) {
    SCOPED_TRACE(hostile.name);
    TempDir case_temp;
    const fs::path case_archive = case_temp / "snapshot.tar.zst";
    const fs::path case_dest = case_temp / "dest";
    auto inventory = sample_inventory();
    const std::string bytes = hostile.build(inventory);
    SnapshotManifest manifest = manifest_for(inventory);
    seal_archive(manifest, case_archive, bytes);
    try {
      extract_snapshot(manifest, case_archive, case_dest);
      ADD_FAILURE() << "hostile archive accepted";
    } catch (const Error& e) {
      RecordProperty(hostile.name, error_text(e));
      if (hostile.code != nullptr) {
        EXPECT_EQ(e.code(), hostile.code) << e.what();
      }
      if (!hostile.messages.empty()) {
        const auto& m = hostile.messages;
        const bool listed = std::find(m.begin(), m.end(), e.what()) != m.end() ||
                            std::find(m.begin(), m.end(), e.code()) != m.end();
        EXPECT_TRUE(listed) << error_text(e);
      }
    }
    EXPECT_TRUE(strays(case_temp.path()).empty());
    EXPECT_FALSE(fs::exists("/tmp/tovra-outside"));
  }
}

// A plain tar name is read as UTF-8 on every system, never in the system's narrow character set.
TEST_F(ExtractTest, NameThatIsNotUtf8IsRefused) {
  const auto inventory = sample_inventory();
  SnapshotManifest manifest = manifest_for(inventory);
  seal_archive(manifest, archive, with_name_not_utf8(inventory));
  EXPECT_EQ(outcome([&] { extract_snapshot(manifest, archive, dest); }), "archive_path: Archive path is not valid UTF-8");
  EXPECT_TRUE(strays(temp.path()).empty());
}

// The decoder alone, where each frame rule has exactly one answer.
TEST_F(ExtractTest, DecoderEnforcesOneBoundedFrame) {
  const std::string tar = builder::make_tar(entries_for(sample_inventory()));
  const std::uint64_t bound = tar.size() + 1;
  struct Case {
    const char* name;
    std::string bytes;
    std::uint64_t bound;
    std::string expected;  // empty: decodes
  };
  const std::string wide = zstd_frame(tar, 27);
  const std::string window_26 = zstd_frame(tar, 26);
  const std::string frame = zstd_frame(tar);
  const std::vector<Case> cases = {
      {"one frame", frame, bound, ""},
      {"window of exactly 64 MiB", window_26, bound, ""},
      {"bound of exactly the stream", frame, tar.size(), ""},
      {"bound one short", frame, tar.size() - 1, "size_limit: Decoded tar stream exceeds authenticated expansion bounds"},
      {"window log 27", wide, bound, "archive: Snapshot decoding failed or exceeds the 64 MiB window limit"},
      {"two frames", frame + frame, bound * 2, "archive: Trailing or concatenated Zstandard frames are forbidden"},
      {"one zero byte after", frame + std::string(1, '\0'), bound,
       "archive: Trailing or concatenated Zstandard frames are forbidden"},
      {"truncated", frame.substr(0, frame.size() - 1), bound, "archive: Snapshot frame is truncated"},
      {"skippable first", builder::zstd_skippable_frame("x") + frame, bound,
       "archive: Snapshot must contain exactly one ordinary Zstandard frame"},
      {"three bytes", frame.substr(0, 3), bound, "archive: Snapshot must contain exactly one ordinary Zstandard frame"},
      {"empty file", "", bound, "archive: Snapshot must contain exactly one ordinary Zstandard frame"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(archive, c.bytes);
    std::string decoded;
    try {
      BoundedSnapshotDecoder decoder(archive, c.bound);
      for (auto block = decoder.next_block(); !block.empty(); block = decoder.next_block()) decoded.append(block);
      EXPECT_TRUE(decoder.finished());
      decoder.drain();
      EXPECT_EQ(c.expected, "");
      EXPECT_EQ(decoded, tar);
      EXPECT_EQ(decoder.decoded(), tar.size());
    } catch (const Error& e) {
      EXPECT_EQ(error_text(e), c.expected);
    }
  }
}

TEST(ExpansionBound, AllowsHeadersPerFileAndRefusesOverflow) {
  EXPECT_EQ(snapshot_expansion_bound(2, 100), 2u * 8192 + 100 + 10240);
  EXPECT_THROW(snapshot_expansion_bound(UINT64_MAX / 8192 + 1, 0), Error);
  EXPECT_THROW(snapshot_expansion_bound(1, UINT64_MAX - 10240), Error);
}

}  // namespace
}  // namespace tovra::testing
