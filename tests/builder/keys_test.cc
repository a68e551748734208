#include <gtest/gtest.h>

#include <openssl/evp.h>

#include "builder/inspect.h"
#include "core/digest.h"
#include "core/error.h"
#include "package/keys.h"
#include "package/root.h"
#include "support/temp_dir.h"
#include "trust/tuf.h"

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

TEST(RootTest, ContentCollectsKeysByIdAndEverySignerSigns) {
  const SigningKey first = generate_key("ed25519");
  const SigningKey second = generate_key("ecdsa-sha2-nistp256");
  RootOptions options = root_with_keys({&first, &second});
  options.root.threshold = 2;
  options.targets.keys = {second.record()};
  options.expires = format_expiry(std::chrono::sys_days(std::chrono::year(2031) / 2 / 3) + std::chrono::hours(4) +
                                  std::chrono::minutes(5) + std::chrono::seconds(6) + std::chrono::milliseconds(700));
  const Json document = sign_root(options, {&first, &second});

  const Json& content = document.at("signed");
  EXPECT_EQ(content.at("expires"), "2031-02-03T04:05:06Z");
  EXPECT_EQ(content.at("keys").size(), 2u);
  EXPECT_EQ(content.at("keys").at(first.id()), first.record());
  EXPECT_EQ(content.at("roles").at("root"), (Json{{"keyids", {first.id(), second.id()}}, {"threshold", 2}}));
  EXPECT_EQ(content.at("roles").at("targets").at("keyids"), Json::array({second.id()}));

  const Json& signatures = document.at("signatures");
  ASSERT_EQ(signatures.size(), 2u);
  const SigningKey* signers[] = {&first, &second};
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(signatures[i].at("keyid"), signers[i]->id());
    EXPECT_TRUE(verify_signature(signers[i]->record(), canonical_json(content), signatures[i].at("sig").get<std::string>()));
  }
  EXPECT_THROW(sign_root(options, {}), Error);
}

}  // namespace
}  // namespace tovra::builder
