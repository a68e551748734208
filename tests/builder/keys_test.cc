#include <gtest/gtest.h>

#include <openssl/evp.h>

#include "core/digest.h"
#include "core/error.h"
#include "core/test_util.h"
#include "package/keys.h"
#include "support/temp_dir.h"

namespace tovra::builder {
namespace {

// Each scheme's public record has the form and key ID the installer computes; the trust tests
// verify what each scheme signs.
TEST(SigningKeyTest, RecordsNameTheirKeyTypeAndSignaturesVerify) {
  const std::pair<const char*, const char*> schemes[] = {
      {"ed25519", "ed25519"},           {"ecdsa-sha2-nistp256", "ecdsa"}, {"ecdsa-sha2-nistp384", "ecdsa"},
      {"ecdsa-sha2-nistp521", "ecdsa"}, {"rsassa-pss-sha256", "rsa"},     {"rsassa-pss-sha384", "rsa"},
      {"rsassa-pss-sha512", "rsa"}};
  for (const auto& [scheme, keytype] : schemes) {
    const SigningKey key = generate_key(scheme, 2048);
    const Json record = key.record();
    EXPECT_EQ(record.at("keytype"), keytype);
    EXPECT_EQ(record.at("scheme"), scheme);
    EXPECT_EQ(record.size(), 3u);
    EXPECT_EQ(key.id(), digest_hex(canonical_json(record), "sha256"));
  }
}

TEST(SigningKeyTest, RefusesWhatCannotBeMadeOrDoesNotFit) {
  EXPECT_EQ(testing::outcome([] { generate_key("rsassa-pss-sha256", 1024); }), "key: RSA keys need at least 2048 bits");
  // An Ed25519 key cannot be declared as ECDSA, nor a P-256 key as P-384.
  const std::pair<const char*, const char*> mismatches[] = {{"ed25519", "ecdsa-sha2-nistp256"},
                                                            {"ecdsa-sha2-nistp256", "ecdsa-sha2-nistp384"}};
  for (const auto& [made, declared] : mismatches) {
    const SigningKey key = generate_key(made);
    EXPECT_EQ(testing::outcome([&] { SigningKey(declared, PkeyPtr(EVP_PKEY_dup(key.pkey()))); }),
              std::string("key: The key does not suit the scheme ") + declared);
  }
}

TEST(SigningKeyTest, KeyFilesRoundTripAndMustBelongTogether) {
  testing::TempDir dir;
  const SigningKey ecdsa = generate_key("ecdsa-sha2-nistp384");
  write_key_files(ecdsa, dir / "release");
  EXPECT_EQ(read_key_files(dir / "release").id(), ecdsa.id());

  // Never replaced: the second key leaves the first pair as it was.
  EXPECT_THROW(write_key_files(generate_key("ed25519"), dir / "release"), Error);
  EXPECT_EQ(read_key_files(dir / "release").id(), ecdsa.id());

  // A record from another key is refused rather than signing under a wrong key ID.
  write_key_files(generate_key("ecdsa-sha2-nistp384"), dir / "other");
  std::filesystem::copy_file(public_record_path(dir / "other"), public_record_path(dir / "mixed"));
  std::filesystem::copy_file(private_key_path(dir / "release"), private_key_path(dir / "mixed"));
  EXPECT_THROW(read_key_files(dir / "mixed"), Error);
}

}  // namespace
}  // namespace tovra::builder
