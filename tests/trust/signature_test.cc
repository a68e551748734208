// One signature against one key: every scheme of the key table, and the keys and signatures
// that must never verify.

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "core/digest.h"
#include "support/tuf_signing.h"
#include "trust/tuf.h"

namespace tovra {
namespace {

using testing::RsaSigning;
using testing::shared_signer;
using testing::TufSigner;

const std::string kMessage = R"({"_type":"root","version":1})";

class EverySchemeTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (!testing::scheme_available(GetParam()))
      GTEST_SKIP() << GetParam() << ": this OpenSSL has no such keys (ML-DSA needs 3.5 or later)";
  }
  const TufSigner& signer() const { return shared_signer(GetParam()); }
};

TEST_P(EverySchemeTest, VerifiesOnlyItsOwnKeyAndMessage) {
  const std::string signature = signer().sign(kMessage);
  EXPECT_TRUE(verify_signature(signer().key(), kMessage, signature));
  std::string upper = signature;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(verify_signature(signer().key(), kMessage, upper));

  EXPECT_FALSE(verify_signature(signer().key(), kMessage + " ", signature));
  EXPECT_FALSE(verify_signature(TufSigner::generate(GetParam()).key(), kMessage, signature));
  std::string flipped = signature;
  flipped[flipped.size() / 2] = flipped[flipped.size() / 2] == '0' ? '1' : '0';
  EXPECT_FALSE(verify_signature(signer().key(), kMessage, flipped));
}

TEST_P(EverySchemeTest, MalformedInputsAnswerFalseWithoutRaising) {
  const std::string signature = signer().sign(kMessage);
  for (const std::string& text :
       {std::string(), signature.substr(1), signature.substr(2), "zz" + signature.substr(2), std::string(16386, 'a')})
    EXPECT_FALSE(verify_signature(signer().key(), kMessage, text)) << text.size();

  Json key = signer().key();
  key["keytype"] = key["keytype"] == "rsa" ? "ecdsa" : "rsa";
  EXPECT_FALSE(verify_signature(key, kMessage, signature));
  key = signer().key();
  key["scheme"] = std::string(GetParam()) + "x";
  EXPECT_FALSE(verify_signature(key, kMessage, signature));
  key = signer().key();
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
  const TufSigner& signer = shared_signer("rsassa-pss-sha256");
  EXPECT_TRUE(verify_signature(signer.key(), kMessage, signer.sign_rsa(kMessage, RsaSigning{})));
  for (const RsaSigning& variant : {RsaSigning{.salt_length = 20}, RsaSigning{.salt_length = 0},
                                    RsaSigning{.mgf1 = "SHA1"}, RsaSigning{.pkcs1_v15 = true}})
    EXPECT_FALSE(verify_signature(signer.key(), kMessage, signer.sign_rsa(kMessage, variant)));

  Json stronger = signer.key();
  stronger["scheme"] = "rsassa-pss-sha512";
  EXPECT_FALSE(verify_signature(stronger, kMessage, signer.sign(kMessage)));

  for (int bits : {1024, 2040}) {
    const TufSigner small = TufSigner::generate_rsa("rsassa-pss-sha256", bits);
    EXPECT_FALSE(verify_signature(small.key(), kMessage, small.sign(kMessage))) << bits;
  }
}

TEST(EcdsaSignatureTest, KeyMustLieOnTheSchemesCurve) {
  const std::pair<const char*, const char*> mismatches[] = {
      {"ecdsa-sha2-nistp384", "P-256"}, {"ecdsa-sha2-nistp256", "P-384"}, {"ecdsa-sha2-nistp256", "secp256k1"}};
  for (const auto& [scheme, curve] : mismatches) {
    const TufSigner signer = TufSigner::generate_ec(scheme, curve);
    EXPECT_FALSE(verify_signature(signer.key(), kMessage, signer.sign(kMessage))) << scheme << " " << curve;
  }
  const TufSigner& rsa = shared_signer("rsassa-pss-sha256");
  Json key = rsa.key();
  key["keytype"] = "ecdsa";
  key["scheme"] = "ecdsa-sha2-nistp256";
  EXPECT_FALSE(verify_signature(key, kMessage, rsa.sign(kMessage)));
}

TEST(Ed25519SignatureTest, RawKeyAndSignatureLengthsAreExact) {
  const TufSigner& signer = shared_signer("ed25519");
  const std::string signature = signer.sign(kMessage);
  ASSERT_EQ(signature.size(), 128u);
  EXPECT_FALSE(verify_signature(signer.key(), kMessage, signature.substr(0, 126)));  // 63 bytes
  EXPECT_FALSE(verify_signature(signer.key(), kMessage, signature + "00"));          // 65 bytes

  const std::string raw = signer.key().at("keyval").at("public");
  const std::string pem = shared_signer("ecdsa-sha2-nistp256").key().at("keyval").at("public");
  for (const std::string& wrong : {raw + "00", raw.substr(2), "g" + raw.substr(1), pem}) {
    Json key = signer.key();
    key["keyval"]["public"] = wrong;
    EXPECT_FALSE(verify_signature(key, kMessage, signature)) << wrong;
  }
}

TEST(MlDsaSignatureTest, KeysOfOtherAlgorithmsNeverVerify) {
  // Holds on every library version: a valid PEM key of another algorithm is not an ML-DSA key.
  const TufSigner& p256 = shared_signer("ecdsa-sha2-nistp256");
  Json key = p256.key();
  key["keytype"] = "ml-dsa";
  key["scheme"] = "ml-dsa-44/1";
  EXPECT_FALSE(verify_signature(key, kMessage, p256.sign(kMessage)));
  EXPECT_FALSE(verify_signature(key, kMessage, p256.sign_raw(kMessage)));
}

TEST(MlDsaSignatureTest, SignsTheDomainSeparatedPrehashNotTheDocument) {
  if (!testing::scheme_available("ml-dsa-65/1")) GTEST_SKIP() << "this OpenSSL has no ML-DSA (needs 3.5 or later)";
  const TufSigner& signer = shared_signer("ml-dsa-65/1");
  const std::string prehash = std::string("tuf\x01", 4) + from_hex(digest_hex(kMessage, "sha512"), 128);
  ASSERT_EQ(prehash.size(), 68u);
  EXPECT_TRUE(verify_signature(signer.key(), kMessage, signer.sign_raw(prehash)));
  EXPECT_FALSE(verify_signature(signer.key(), kMessage, signer.sign_raw(kMessage)));
  Json other_set = signer.key();
  other_set["scheme"] = "ml-dsa-87/1";
  EXPECT_FALSE(verify_signature(other_set, kMessage, signer.sign(kMessage)));
}

}  // namespace
}  // namespace tovra
