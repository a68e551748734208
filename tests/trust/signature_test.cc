// One signature against one key: every scheme of the key table, and the keys and signatures
// that must never verify.

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "core/digest.h"
#include "support/tuf_signing.h"
#include "trust/test_keys.h"
#include "trust/tuf.h"

namespace tovra {
namespace {

using testing::RsaSigning;
using testing::shared_key;
using testing::SigningKey;

const Json kContent{{"_type", "root"}, {"version", 1}};
const std::string kMessage = canonical_json(kContent);

class EverySchemeTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (!builder::scheme_available(GetParam()))
      GTEST_SKIP() << GetParam() << ": this OpenSSL has no such keys (ML-DSA needs 3.5 or later)";
  }
  const SigningKey& signer() const { return shared_key(GetParam()); }
};

// Malformed signatures and key records answer false without raising.
TEST_P(EverySchemeTest, VerifiesOnlyItsOwnKeyAndMessage) {
  const std::string signature = signer().sign_content(kContent);
  EXPECT_TRUE(verify_signature(signer().record(), kMessage, signature));
  std::string upper = signature;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(verify_signature(signer().record(), kMessage, upper));

  EXPECT_FALSE(verify_signature(signer().record(), kMessage + " ", signature));
  EXPECT_FALSE(verify_signature(builder::generate_key(GetParam(), 2048).record(), kMessage, signature));
  std::string flipped = signature;
  flipped[flipped.size() / 2] = flipped[flipped.size() / 2] == '0' ? '1' : '0';
  for (const std::string& text : {flipped, std::string(), signature.substr(1), signature.substr(0, signature.size() - 2),
                                  signature + "00", "zz" + signature.substr(2), std::string(16386, 'a')})
    EXPECT_FALSE(verify_signature(signer().record(), kMessage, text)) << text.size();

  Json key = signer().record();
  key["keytype"] = key["keytype"] == "rsa" ? "ecdsa" : "rsa";
  EXPECT_FALSE(verify_signature(key, kMessage, signature));
  key = signer().record();
  key["scheme"] = std::string(GetParam()) + "x";
  EXPECT_FALSE(verify_signature(key, kMessage, signature));
  key = signer().record();
  key["keyval"] = {{"public", 7}};
  EXPECT_FALSE(verify_signature(key, kMessage, signature));
  EXPECT_FALSE(verify_signature(Json::array(), kMessage, signature));
}

INSTANTIATE_TEST_SUITE_P(KeyTable, EverySchemeTest,
                         ::testing::Values("rsassa-pss-sha256", "rsassa-pss-sha384", "rsassa-pss-sha512",
                                           "ecdsa-sha2-nistp256", "ecdsa-sha2-nistp384", "ecdsa-sha2-nistp521",
                                           "ed25519", "ml-dsa-44/1", "ml-dsa-65/1", "ml-dsa-87/1"),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

TEST(RsaSignatureTest, OnlyPssWithTheSchemeDigestAndSaltOnLargeEnoughKeys) {
  const SigningKey& signer = shared_key("rsassa-pss-sha256");
  EXPECT_TRUE(verify_signature(signer.record(), kMessage, testing::raw_sign(signer.pkey(), "SHA256", kMessage)));
  for (const RsaSigning& variant : {RsaSigning{.salt_length = 20}, RsaSigning{.salt_length = 0},
                                    RsaSigning{.mgf1 = "SHA1"}, RsaSigning{.pkcs1_v15 = true}})
    EXPECT_FALSE(verify_signature(signer.record(), kMessage, testing::raw_sign(signer.pkey(), "SHA256", kMessage, variant)));

  Json stronger = signer.record();
  stronger["scheme"] = "rsassa-pss-sha512";
  EXPECT_FALSE(verify_signature(stronger, kMessage, signer.sign_content(kContent)));

  const testing::RawKey small = testing::raw_rsa_key(2040);  // 2048 bits at least
  EXPECT_FALSE(verify_signature(testing::claimed_record(small.get(), "rsassa-pss-sha256"), kMessage,
                                testing::raw_sign(small.get(), "SHA256", kMessage)));
}

TEST(EcdsaSignatureTest, KeyMustLieOnTheSchemesCurve) {
  // Signed with the digest the scheme names, so only the curve is wrong.
  const struct {
    const char* scheme;
    const char* digest;
    const char* curve;
  } mismatches[] = {{"ecdsa-sha2-nistp384", "SHA384", "P-256"}, {"ecdsa-sha2-nistp256", "SHA256", "secp256k1"}};
  for (const auto& m : mismatches) {
    const testing::RawKey key = testing::raw_ec_key(m.curve);
    EXPECT_FALSE(verify_signature(testing::claimed_record(key.get(), m.scheme), kMessage,
                                  testing::raw_sign(key.get(), m.digest, kMessage)))
        << m.scheme << " " << m.curve;
  }
  const SigningKey& rsa = shared_key("rsassa-pss-sha256");
  Json key = rsa.record();
  key["keytype"] = "ecdsa";
  key["scheme"] = "ecdsa-sha2-nistp256";
  EXPECT_FALSE(verify_signature(key, kMessage, rsa.sign_content(kContent)));
}

TEST(Ed25519SignatureTest, RawKeyIsExactly32Bytes) {
  const SigningKey& signer = shared_key("ed25519");
  const std::string signature = signer.sign_content(kContent);
  const std::string raw = signer.record().at("keyval").at("public");
  const std::string pem = shared_key("ecdsa-sha2-nistp256").record().at("keyval").at("public");
  for (const std::string& wrong : {raw + "00", raw.substr(2), "g" + raw.substr(1), pem}) {
    Json key = signer.record();
    key["keyval"]["public"] = wrong;
    EXPECT_FALSE(verify_signature(key, kMessage, signature)) << wrong;
  }
}

TEST(MlDsaSignatureTest, KeysOfOtherAlgorithmsNeverVerify) {
  // Holds on every library version: a valid PEM key of another algorithm is not an ML-DSA key.
  const SigningKey& p256 = shared_key("ecdsa-sha2-nistp256");
  Json key = p256.record();
  key["keytype"] = "ml-dsa";
  key["scheme"] = "ml-dsa-44/1";
  EXPECT_FALSE(verify_signature(key, kMessage, p256.sign_content(kContent)));
  EXPECT_FALSE(verify_signature(key, kMessage, to_hex(p256.sign_raw(kMessage))));
}

TEST(MlDsaSignatureTest, SignsTheDomainSeparatedPrehashNotTheDocument) {
  if (!builder::scheme_available("ml-dsa-65/1")) GTEST_SKIP() << "this OpenSSL has no ML-DSA (needs 3.5 or later)";
  const SigningKey& signer = shared_key("ml-dsa-65/1");
  const std::string prehash = std::string("tuf\x01", 4) + from_hex(digest_hex(kMessage, "sha512"), 128);
  ASSERT_EQ(prehash.size(), 68u);
  EXPECT_TRUE(verify_signature(signer.record(), kMessage, to_hex(signer.sign_raw(prehash))));
  EXPECT_FALSE(verify_signature(signer.record(), kMessage, to_hex(signer.sign_raw(kMessage))));
  Json other_set = signer.record();
  other_set["scheme"] = "ml-dsa-87/1";
  EXPECT_FALSE(verify_signature(other_set, kMessage, signer.sign_content(kContent)));
}

}  // namespace
}  // namespace tovra
