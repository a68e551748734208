#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/digest.h"
#include "support/temp_dir.h"
#include "test_util.h"
#include "support/links.h"

namespace tovra {
namespace {

const std::string kEmptySha256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

TEST(Digest, KnownVectorsAndAlgorithmNames) {
  initialize_crypto();
  EXPECT_EQ(digest_hex("abc", "sha256"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(digest_hex("abc", "sha512"),
            "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
            "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
  for (const char* name : {"SHA256", "sha1"}) {
    EXPECT_PROBLEM(digest_hex("abc", name), "unsupported_hash", "Only SHA-256 and SHA-512 hashes are supported");
  }
}

TEST(Hex, RoundTripAndStrictDecoding) {
  const std::string bytes("\x00\x01\x9a\xfe\xff", 5);
  EXPECT_EQ(to_hex(bytes), "00019afeff");
  EXPECT_EQ(from_hex("00019aFEff", 10), bytes);  // either case is read
  EXPECT_EQ((random_identifier() + "!").find_first_not_of("0123456789abcdef"), 32u);
  EXPECT_PROBLEM(from_hex("abc", 10), "invalid_hex", "Invalid hexadecimal data");
  EXPECT_PROBLEM(from_hex("abcd", 3), "invalid_hex", "Invalid hexadecimal data");
  EXPECT_PROBLEM(from_hex("0g", 2), "invalid_hex", "Invalid hexadecimal character");
}

using Calls = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

HashProgress recorder(Calls& calls) {
  return [&calls](std::uint64_t done, std::uint64_t total) {
    calls.emplace_back(done, total);
    return true;
  };
}

TEST(HashFile, ReportsProgressAroundEachChunk) {
  testing::TempDir dir;
  testing::write_file(dir / "empty", "");
  Calls calls;
  EXPECT_EQ(hash_file(dir / "empty", "sha256", recorder(calls)), kEmptySha256);
  EXPECT_EQ(calls, (Calls{{0, 0}, {0, 0}}));

  const std::string bytes(65536 + 10, 'z');
  testing::write_file(dir / "big", bytes);
  calls.clear();
  EXPECT_EQ(hash_file(dir / "big", "sha512", recorder(calls)),
            "f4aa0d5c97748c1f493f8472ae3ddae86402fe455dea5ddb25cb6766150ca8fc"
            "65d4af44cbe374fbfb6a2320be9a34ae73842579be61e28e11163253babb59ec");
  EXPECT_EQ(calls, (Calls{{0, 65546}, {65536, 65546}, {65546, 65546}}));
}

TEST(HashFile, FailuresOpenCancelAndGrowth) {
  testing::TempDir dir;
  testing::write_file(dir / "f", "content");

  int calls = 0;
  EXPECT_PROBLEM(hash_file(dir / "f", "sha256", [&](std::uint64_t, std::uint64_t) { return ++calls > 1; }),
                 "cancelled", "File verification cancelled");
  EXPECT_EQ(calls, 1);

  // The file grows after its size was taken.
  const auto grow = [&](std::uint64_t done, std::uint64_t) {
    if (done == 0) {
      std::ofstream out(dir / "f", std::ios::binary | std::ios::app);
      out << "more";
    }
    return true;
  };
  EXPECT_PROBLEM(hash_file(dir / "f", "sha256", grow), "content_mismatch", "File grew beyond its verification bound");

  TOVRA_NEEDS_SYMLINKS();
  testing::make_symlink(dir / "f", dir / "link");
  EXPECT_PROBLEM(hash_file(dir / "link", "sha256", {}), "file_read",
                 "Could not open file for verification: " + (dir / "link").string());
  // A FIFO could be read forever.
  ASSERT_EQ(testing::run_quiet("mkfifo " + testing::quoted(dir / "fifo")), 0);
  EXPECT_PROBLEM(hash_file(dir / "fifo", "sha256", {}), "unsafe_path",
                 "Expected an ordinary file: " + (dir / "fifo").string());
}

// Reads are sized from the length the file had when opened; a file of exactly that many bytes,
// around each chunk edge, is hashed whole, and one of any other length is refused unread.
TEST(HashFile, OfLengthHashesExactlyTheFilesOfThatLength) {
  testing::TempDir dir;
  for (const std::size_t size : {0u, 1u, 65535u, 65536u, 65537u, 131072u, 131073u}) {
    SCOPED_TRACE(size);
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 23);
    testing::write_file(dir / "f", bytes);
    Calls calls;
    EXPECT_EQ(hash_file_of_length(dir / "f", "sha256", size, {}), digest_hex(bytes, "sha256"));
    EXPECT_EQ(hash_file_of_length(dir / "f", "sha256", size + 1, recorder(calls)), std::nullopt);
    if (size > 0) {
      EXPECT_EQ(hash_file_of_length(dir / "f", "sha256", size - 1, recorder(calls)), std::nullopt);
    }
    EXPECT_TRUE(calls.empty());
  }
}

TEST(DeclaredLengthGuard, RefusesOtherLengthsBeforeHashingAndOffsetsProgress) {
  testing::TempDir dir;
  testing::write_file(dir / "f", "12345");
  Calls calls;
  EXPECT_EQ(hash_file(dir / "f", "sha256", declared_length_guard(5, 100, 1000, recorder(calls))),
            "5994471abb01112afcc18159f6cc74b4f511b99806da59b3caf5a9c173cacfc5");
  EXPECT_EQ(calls, (Calls{{100, 1000}, {105, 1000}}));

  calls.clear();
  EXPECT_PROBLEM(hash_file(dir / "f", "sha256", declared_length_guard(4, 0, 4, recorder(calls))), "content_mismatch",
                 "File changed beyond its declared verification bound");
  EXPECT_TRUE(calls.empty());
}

}  // namespace
}  // namespace tovra
