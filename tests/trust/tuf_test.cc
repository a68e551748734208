// One signature against one key for every scheme of the key table; metadata envelopes, root
// content, threshold counting, expiry timestamps and the initial root check.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/digest.h"
#include "support/tuf_signing.h"
#include "trust/test_keys.h"
#include "trust/tuf.h"

namespace tovra {
namespace {

using testing::outcome;
using testing::root_content;
using testing::RsaSigning;
using testing::shared_key;
using testing::sign_metadata;
using testing::SigningKey;

const std::string kMalformed = "invalid_metadata: Metadata is missing a required field or has an invalid field type";
const std::string kAuthority = "invalid_metadata: Invalid signing authority";

class MetadataTest : public ::testing::Test {
 protected:
  const SigningKey& a = shared_key("ed25519");
  const SigningKey& b = shared_key("ecdsa-sha2-nistp256");
  const SigningKey& c = shared_key("rsassa-pss-sha256");

  Json valid_root() const { return sign_metadata(root_content({&a, &b}, 1), {&a}); }
  std::string verify_root(const Json& document) const {
    const Json& content = document.at("signed");
    return outcome([&] { verify_signatures(document, content.at("keys"), content.at("roles").at("root")); });
  }
};

TEST_F(MetadataTest, RootRulesRefuseWithTheirProblemsAndLeaveSignaturesToTheThreshold) {
  const auto first_id = [](Json& d) { return d["signed"]["keys"].begin().key(); };
  const std::vector<std::pair<std::function<void(Json&)>, std::string>> cases = {
      {[](Json& d) { d.erase("signed"); },
       "invalid_metadata: Metadata must contain a signed object and signature array"},
      {[](Json& d) { d["signatures"].push_back(d["signatures"][0]); },
       "invalid_metadata: Metadata repeats a signature key ID"},
      {[](Json& d) { d["signed"]["_type"] = "targets"; }, "metadata_type: Unexpected metadata type"},
      {[](Json& d) { d["signed"].erase("_type"); }, kMalformed},
      {[](Json& d) { d["signed"]["version"] = 0u; }, "invalid_version: Metadata version must be positive"},
      {[](Json& d) { d["signed"]["expires"] = "2100-01-01"; },
       "invalid_expiry: Expiry must use a UTC ISO-8601 timestamp"},
      // Extra members are part of the canonical key, so adding one changes the identifier.
      {[&](Json& d) { d["signed"]["keys"][first_id(d)]["extra"] = 1; },
       "keyid_mismatch: Signing key ID does not identify its canonical key"},
      {[](Json& d) {
         const Json key = {{"keytype", "x"}, {"scheme", "x"}, {"keyval", {{"public", std::string(16385, 'a')}}}};
         d["signed"]["keys"][digest_hex(canonical_json(key), "sha256")] = key;
       },
       "size_limit: Signing key exceeds its size limit"},
      {[](Json& d) { d["signed"]["roles"]["root"]["threshold"] = -1; },
       "invalid_version: Metadata version must be a positive integer"},
      {[](Json& d) { d["signed"]["roles"]["timestamp"]["keyids"].push_back(std::string(64, 'a')); },
       "invalid_metadata: Role references a key absent from its delegator"},
      {[](Json& d) { d["signed"]["roles"]["mirrors"] = {{"keyids", Json::array()}}; }, kAuthority},
      // Repeated key IDs in a role, no consistent_snapshot and a signature that is not hex pass.
      {[&](Json& d) {
         d["signed"]["roles"]["root"]["keyids"].push_back(first_id(d));
         d["signed"]["roles"]["mirrors"] = {{"keyids", {first_id(d)}}, {"threshold", 1}};
         d["signed"].erase("consistent_snapshot");
         d["signatures"][0]["sig"] = "not hex";
       },
       "ok"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    Json document = valid_root();
    cases[i].first(document);
    EXPECT_EQ(outcome([&] { validate_metadata(document, "root"); }), cases[i].second) << "case " << i;
  }
}

TEST_F(MetadataTest, TufVersionMustBeAStableOneX) {
  Json document = valid_root();
  for (const std::string& version :
       std::vector<std::string>{"1.0", "1.0.31", "1.12", "1.2.0", "1." + std::string(30, '1')}) {
    document["signed"]["spec_version"] = version;
    EXPECT_EQ(outcome([&] { validate_metadata(document, "root"); }), "ok") << version;
  }
  for (const std::string& version : std::vector<std::string>{"1", "1.01", "2.0", "1.0.0-rc", "1.0.", "1..0", "1.0.0.0",
                                                             "01.0", "1.0.01", "", "1." + std::string(31, '1')}) {
    document["signed"]["spec_version"] = version;
    EXPECT_EQ(outcome([&] { validate_metadata(document, "root"); }),
              "unsupported_spec: A stable TUF 1.x[.y] specification version is required")
        << version;
  }
}

// Only distinct keys of the role that are among the keys and sign validly count.
TEST_F(MetadataTest, ThresholdCountsDistinctAuthorisedValidSignatures) {
  const std::string short_of = "signature_threshold: Metadata does not meet its authorized signature threshold";
  const Json content = root_content({&a, &b, &c}, 2);
  EXPECT_EQ(verify_root(sign_metadata(content, {&c, &b, &a})), "ok");
  Json renamed = content["keys"];  // keys are checked before any is counted
  renamed[std::string(64, '0')] = renamed.begin().value();
  EXPECT_EQ(outcome([&] { verify_signatures(sign_metadata(content, {&a}), renamed, content["roles"]["root"]); }),
            "keyid_mismatch: Signing key ID does not identify its canonical key");
  Json document = sign_metadata(content, {&b});
  document["signatures"].push_back(document["signatures"][0]);  // the same key twice counts once
  EXPECT_EQ(verify_root(document), short_of);
  document = sign_metadata(content, {&a, &b});
  document["signed"]["version"] = 2;  // changed after signing
  EXPECT_EQ(verify_root(document), short_of);

  // b is a known key outside the root role; c is not among the keys at all.
  Json only_a = root_content({&a, &b}, 1);
  only_a["roles"]["root"]["keyids"] = {a.id()};
  document = sign_metadata(only_a, {&b, &c});
  EXPECT_EQ(verify_root(document), short_of);
  // A wrong and a non-hex signature by a do not stop its later valid one from counting.
  const Json good = sign_metadata(only_a, {&a})["signatures"][0];
  document["signatures"] = {good, good, good};
  document["signatures"][0]["sig"] = std::string(128, '0');
  document["signatures"][1]["sig"] = "xyz";
  EXPECT_EQ(verify_root(document), "ok");

  only_a["roles"]["root"]["keyids"].push_back(a.id());
  only_a["roles"]["root"]["threshold"] = 2;
  EXPECT_EQ(verify_root(sign_metadata(only_a, {&a})),
            "invalid_threshold: Signing threshold exceeds unique authorized keys");
}

TEST(ExpiryTest, FormsTheirProblemsAndTheUtcInstantWithMicroseconds) {
  const std::string shape = "invalid_expiry: Expiry must use a UTC ISO-8601 timestamp";
  const std::string digits = "invalid_expiry: Timestamp fields must contain decimal digits";
  const std::string calendar = "invalid_expiry: Invalid UTC calendar time";
  const std::string fraction = "invalid_expiry: Invalid fractional second";
  const std::pair<const char*, std::string> cases[] = {
      {"2030-01-01T00:00:00Z", "ok"},         {"2030-01-01T00:00:00.123456789Z", "ok"},
      {"2000-02-29T23:59:59.1Z", "ok"},       {"2030-01-01T00:00:00.Z", shape},
      {"2030-01-01T00:00:00+00:00", shape},   {"2030-01-01T00:00:00", shape},
      {"2030-01-01T00:00:00.1234567890Z", shape}, {"2030-01-01 00:00:00Z", shape},
      {"2030-01-01T00:00:00,1Z", shape},      {"2030-01-01T0 :00:00Z", digits},
      {"2030-01-01T00:00:00.1a3Z", fraction}, {"2030-02-30T00:00:00Z", calendar},
      {"1900-02-29T00:00:00Z", calendar},     {"2030-01-01T24:00:00Z", calendar},
      {"2016-12-31T23:59:60Z", calendar},
  };
  for (const auto& [text, problem] : cases) EXPECT_EQ(outcome([&] { parse_expiry(text); }), problem) << text;

  using namespace std::chrono;
  const UtcTime midnight = sys_days(year{2030} / January / day{1});
  EXPECT_EQ(parse_expiry("2030-01-01T00:00:00.1234567Z"), midnight + microseconds(123456));
  EXPECT_EQ(parse_expiry("2030-03-04T05:06:07.000001Z"),
            sys_days(year{2030} / March / day{4}) + hours(5) + minutes(6) + seconds(7) + microseconds(1));
}

TEST_F(MetadataTest, InitialRootMustBeSignedAndLaterThanNow) {
  const std::string bytes = sign_metadata(root_content({&a}, 1, "2030-01-01T00:00:00.000002Z"), {&a}).dump();
  EXPECT_EQ(outcome([&] { check_initial_root(bytes, parse_expiry("2030-01-01T00:00:00.000001Z")); }), "ok");
  EXPECT_EQ(outcome([&] { check_initial_root(bytes, parse_expiry("2030-01-01T00:00:00.000002Z")); }),
            "expired_metadata: The initial package's TUF root has expired");
  EXPECT_EQ(outcome([&] { check_initial_root(testing::sample_root_bytes()); }), "ok");
  EXPECT_EQ(outcome([&] { check_initial_root(testing::sample_root_bytes("2020-01-01T00:00:00Z")); }).substr(0, 16),
            "expired_metadata");
  const std::string one_of_two = sign_metadata(root_content({&a, &b}, 2), {&a}).dump();
  EXPECT_EQ(outcome([&] { check_initial_root(one_of_two); }).substr(0, 19), "signature_threshold");
  EXPECT_EQ(outcome([&] { check_initial_root(bytes + std::string(524288, ' ')); }).substr(0, 10), "size_limit");

  // An expiry that is not text is refused, not read as none. Signed as it is, so only it can fail.
  Json no_expiry = root_content({&a}, 1);
  no_expiry["expires"] = 1;
  EXPECT_THROW(check_initial_root(sign_metadata(no_expiry, {&a}).dump()), Json::exception);
}

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

  EXPECT_FALSE(verify_signature(signer().record(), kMessage + " ", signature));
  EXPECT_FALSE(verify_signature(builder::generate_key(GetParam(), 2048).record(), kMessage, signature));
  std::string flipped = signature;
  flipped[flipped.size() / 2] = flipped[flipped.size() / 2] == '0' ? '1' : '0';
  const std::string shorter = signature.substr(0, signature.size() - 2);
  for (const std::string& text : {flipped, std::string(), shorter, signature + "00", std::string(16386, 'a')})
    EXPECT_FALSE(verify_signature(signer().record(), kMessage, text)) << text.size();

  Json key = signer().record();
  key["keytype"] = key["keytype"] == "rsa" ? "ecdsa" : "rsa";  // a scheme of another key type
  EXPECT_FALSE(verify_signature(key, kMessage, signature));
  key = signer().record();
  key["keyval"] = {{"public", 7}};
  EXPECT_FALSE(verify_signature(key, kMessage, signature));
}

INSTANTIATE_TEST_SUITE_P(KeyTable, EverySchemeTest,
                         ::testing::Values("rsassa-pss-sha256", "rsassa-pss-sha384", "rsassa-pss-sha512",
                                           "ecdsa-sha2-nistp256", "ecdsa-sha2-nistp384", "ecdsa-sha2-nistp521",
                                           "ed25519", "ml-dsa-44/1", "ml-dsa-65/1", "ml-dsa-87/1"));

TEST(RsaSignatureTest, OnlyPssWithTheSchemeDigestAndSalt) {
  const SigningKey& signer = shared_key("rsassa-pss-sha256");
  EXPECT_TRUE(verify_signature(signer.record(), kMessage, testing::raw_sign(signer.pkey(), "SHA256", kMessage)));
  for (const RsaSigning& variant : {RsaSigning{.salt_length = 20}, RsaSigning{.salt_length = 0},
                                    RsaSigning{.mgf1 = "SHA1"}, RsaSigning{.pkcs1_v15 = true}})
    EXPECT_FALSE(verify_signature(signer.record(), kMessage, testing::raw_sign(signer.pkey(), "SHA256", kMessage, variant)));
}

// Records whose key does not fit the scheme they claim (kind, curve, size, length), or whose scheme
// names another digest than the signature used. Each signature is valid for its key.
TEST(SchemeKeyTest, KeyMustFitItsScheme) {
  const SigningKey& rsa = shared_key("rsassa-pss-sha256");
  const SigningKey& p256 = shared_key("ecdsa-sha2-nistp256");
  const SigningKey& ed = shared_key("ed25519");
  const auto claimed = [](const testing::RawKey& key, const char* scheme, const char* digest) {
    return std::pair(testing::claimed_record(key.get(), scheme), testing::raw_sign(key.get(), digest, kMessage));
  };
  const auto changed = [](const SigningKey& signer, const Json& change) {
    Json key = signer.record();
    key.merge_patch(change);
    return std::pair(key, signer.sign_content(kContent));
  };
  const std::string raw = ed.record().at("keyval").at("public");
  const std::pair<Json, std::string> cases[] = {
      claimed(testing::raw_ec_key("P-256"), "ecdsa-sha2-nistp384", "SHA384"),
      claimed(testing::raw_ec_key("secp256k1"), "ecdsa-sha2-nistp256", "SHA256"),
      claimed(testing::raw_rsa_key(2040), "rsassa-pss-sha256", "SHA256"),  // 2048 bits at least
      changed(rsa, {{"scheme", "rsassa-pss-sha512"}}),
      changed(rsa, {{"keytype", "ecdsa"}, {"scheme", "ecdsa-sha2-nistp256"}}),
      // Holds on every library version: a valid PEM key of another algorithm is not an ML-DSA key.
      changed(p256, {{"keytype", "ml-dsa"}, {"scheme", "ml-dsa-44/1"}}),
      // An Ed25519 key is exactly 32 raw bytes in hex.
      changed(ed, {{"keyval", {{"public", raw + "00"}}}}),
      changed(ed, {{"keyval", {{"public", raw.substr(2)}}}}),
      changed(ed, {{"keyval", {{"public", "g" + raw.substr(1)}}}}),
      changed(ed, {{"keyval", p256.record().at("keyval")}}),
  };
  for (const auto& [key, signature] : cases) EXPECT_FALSE(verify_signature(key, kMessage, signature)) << key.dump();
}

TEST(MlDsaSignatureTest, SignsTheDomainSeparatedPrehashWithItsOwnKeysOnly) {
  if (!builder::scheme_available("ml-dsa-65/1")) GTEST_SKIP() << "this OpenSSL has no ML-DSA (needs 3.5 or later)";
  const SigningKey& signer = shared_key("ml-dsa-65/1");
  const std::string prehash = std::string("tuf\x01", 4) + from_hex(digest_hex(kMessage, "sha512"), 128);
  EXPECT_TRUE(verify_signature(signer.record(), kMessage, to_hex(signer.sign_raw(prehash))));
  EXPECT_FALSE(verify_signature(signer.record(), kMessage, to_hex(signer.sign_raw(kMessage))));
  Json other_set = signer.record();
  other_set["scheme"] = "ml-dsa-87/1";
  EXPECT_FALSE(verify_signature(other_set, kMessage, signer.sign_content(kContent)));
}

}  // namespace
}  // namespace tovra
