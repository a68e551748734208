#include <gtest/gtest.h>

#include <archive_entry.h>
#include <zstd.h>

#include "builder/inspect.h"
#include "core/digest.h"
#include "package/archive.h"
#include "package/snapshot.h"

namespace tovra::builder {
namespace {

using testing::read_tar;
using testing::zstd_decode;

// A name past the 100 bytes of a plain tar header and data of many blocks come back whole.
TEST(TarTest, PlainFilesKeepNamesModesAndBytes) {
  const std::string big(200000, 'x');
  const std::string long_name = std::string(120, 'd') + "/" + std::string(90, 'f');
  const auto entries = read_tar(make_tar({tar_file("bin/run.exe", "MZ", 0755), tar_file("data/big.bin", big),
                                          tar_file("empty", ""), tar_file(long_name, "deep")}));
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].first, "bin/run.exe");
  EXPECT_EQ(entries[0].second.perm, 0755u);
  EXPECT_EQ(entries[1].second.data, big);
  EXPECT_EQ(entries[1].second.perm, 0644u);
  EXPECT_EQ(entries[2].second.data, "");
  EXPECT_EQ(entries[3].first, long_name);
  for (const auto& [name, entry] : entries) EXPECT_EQ(entry.type, static_cast<unsigned>(AE_IFREG)) << name;
}

TEST(ZstdTest, OneFrameWithContentSizeUnlessAskedAndSkippableFrames) {
  std::string data;
  for (int i = 0; i < 50000; ++i) data += std::to_string(i * 7919 % 10007) + ",";
  ZstdOptions options;
  options.level = 22;
  const std::string frame = zstd_compress(data, options);
  EXPECT_EQ(ZSTD_findFrameCompressedSize(frame.data(), frame.size()), frame.size()) << "one frame only";
  EXPECT_EQ(ZSTD_getFrameContentSize(frame.data(), frame.size()), data.size());
  EXPECT_EQ(zstd_decode(frame), data);
  EXPECT_EQ(zstd_decode(zstd_compress("")), "");

  options.content_size = false;
  const std::string plain = zstd_compress(data, options);
  EXPECT_EQ(ZSTD_getFrameContentSize(plain.data(), plain.size()), ZSTD_CONTENTSIZE_UNKNOWN);
  EXPECT_EQ(ZSTD_findFrameCompressedSize(plain.data(), plain.size()), plain.size());

  const std::string skippable = zstd_skippable_frame("note");
  EXPECT_EQ(skippable, std::string("\x50\x2A\x4D\x18\x04\x00\x00\x00note", 12));
}

// The manifest always lists the payload and describes the archive bytes as finally written, so
// a damaged archive still passes the package check and reaches the decoder. Links come out of
// the writer as asked, for the extraction tests to refuse.
TEST(PackSnapshotTest, HooksChangeTheArchiveButNotTheInventory) {
  const Payload payload{{"bin/app", {"run", true}}, {"doc/readme.txt", {"read me", false}}};
  SnapshotOptions options;
  options.executable = "bin/app";
  options.target = "app.tar.zst";
  options.tar_entries = std::vector<TarEntry>{tar_special(TarType::hardlink, "bin/app", "doc/readme.txt"),
                                              tar_special(TarType::symlink, "bin/link", "../../etc/passwd")};
  options.edit_archive = [](std::string& archive) { archive += archive; };
  const PackedSnapshot packed = pack_snapshot(payload, options);

  const Json& manifest = packed.manifest;
  EXPECT_EQ(manifest.at("archive").at("length"), packed.archive.size());
  EXPECT_EQ(manifest.at("archive").at("sha256"), digest_hex(packed.archive, "sha256"));
  EXPECT_EQ(manifest.at("files").at(1), (Json{{"path", "doc/readme.txt"}, {"length", 7}, {"mode", 420},
                                             {"sha256", digest_hex("read me", "sha256")}}));
  EXPECT_THROW(zstd_decode(packed.archive), std::runtime_error);
  const auto entries = read_tar(zstd_decode(packed.archive.substr(0, packed.archive.size() / 2)));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].second.hardlink, "doc/readme.txt");
  EXPECT_EQ(entries[1].second.type, static_cast<unsigned>(AE_IFLNK));
  EXPECT_EQ(entries[1].second.symlink, "../../etc/passwd");
}

}  // namespace
}  // namespace tovra::builder
