#include "trust/tuf.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "core/digest.h"
#include "core/error.h"

namespace tovra {
namespace {

constexpr std::size_t kPublicKeyLimit = 16384;
constexpr std::size_t kSignatureHexLimit = 16384;
constexpr std::size_t kTufVersionLimit = 32;
constexpr int kMinimumRsaBits = 2048;

constexpr const char* kMalformed = "Metadata is missing a required field or has an invalid field type";
constexpr const char* kInvalidAuthority = "Invalid signing authority";

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

enum class Family { rsa, ecdsa, ed25519, ml_dsa };

struct Scheme {
  std::string_view keytype;
  std::string_view name;
  Family family;
  const char* digest;     // digest for RSA and ECDSA; none for the pure schemes
  const char* algorithm;  // curve group name or ML-DSA algorithm name
};

constexpr std::array<Scheme, 10> kSchemes{{
    {"rsa", "rsassa-pss-sha256", Family::rsa, "SHA256", nullptr},
    {"rsa", "rsassa-pss-sha384", Family::rsa, "SHA384", nullptr},
    {"rsa", "rsassa-pss-sha512", Family::rsa, "SHA512", nullptr},
    {"ecdsa", "ecdsa-sha2-nistp256", Family::ecdsa, "SHA256", "prime256v1"},
    {"ecdsa", "ecdsa-sha2-nistp384", Family::ecdsa, "SHA384", "secp384r1"},
    {"ecdsa", "ecdsa-sha2-nistp521", Family::ecdsa, "SHA512", "secp521r1"},
    {"ed25519", "ed25519", Family::ed25519, nullptr, nullptr},
    {"ml-dsa", "ml-dsa-44/1", Family::ml_dsa, nullptr, "ML-DSA-44"},
    {"ml-dsa", "ml-dsa-65/1", Family::ml_dsa, nullptr, "ML-DSA-65"},
    {"ml-dsa", "ml-dsa-87/1", Family::ml_dsa, nullptr, "ML-DSA-87"},
}};

const Scheme* find_scheme(std::string_view keytype, std::string_view name) {
  for (const Scheme& scheme : kSchemes)
    if (scheme.keytype == keytype && scheme.name == name) return &scheme;
  return nullptr;
}

// Leaves no stale entries in the library's error queue for unrelated later calls.
struct ErrorQueueGuard {
  ~ErrorQueueGuard() { ERR_clear_error(); }
};

PkeyPtr load_pem_public_key(std::string_view pem) {
  if (pem.empty() || pem.size() > kPublicKeyLimit) return nullptr;
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return nullptr;
  return PkeyPtr(PEM_read_bio_PUBKEY_ex(bio.get(), nullptr, nullptr, nullptr, nullptr, nullptr));
}

bool key_fits_scheme(EVP_PKEY* key, const Scheme& scheme) {
  switch (scheme.family) {
    case Family::rsa:
      return EVP_PKEY_is_a(key, "RSA") == 1 && EVP_PKEY_get_bits(key) >= kMinimumRsaBits;
    case Family::ecdsa: {
      if (EVP_PKEY_is_a(key, "EC") != 1) return false;
      std::array<char, 64> group{};
      std::size_t length = 0;
      if (EVP_PKEY_get_group_name(key, group.data(), group.size(), &length) != 1) return false;
      return std::string_view(group.data(), length) == scheme.algorithm;
    }
    case Family::ml_dsa:
      return EVP_PKEY_is_a(key, scheme.algorithm) == 1;
    case Family::ed25519:
      return EVP_PKEY_is_a(key, "ED25519") == 1;
  }
  return false;
}

bool digest_verify(EVP_PKEY* key, const Scheme& scheme, std::string_view message, std::string_view signature) {
  MdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx) return false;
  EVP_PKEY_CTX* key_ctx = nullptr;  // owned by ctx
  if (EVP_DigestVerifyInit_ex(ctx.get(), &key_ctx, scheme.digest, nullptr, nullptr, key, nullptr) != 1) return false;
  if (scheme.family == Family::rsa) {
    if (EVP_PKEY_CTX_set_rsa_padding(key_ctx, RSA_PKCS1_PSS_PADDING) <= 0) return false;
    if (EVP_PKEY_CTX_set_rsa_mgf1_md_name(key_ctx, scheme.digest, nullptr) <= 0) return false;
    if (EVP_PKEY_CTX_set_rsa_pss_saltlen(key_ctx, RSA_PSS_SALTLEN_DIGEST) <= 0) return false;
  }
  return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                          reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

bool verify_or_throw(const Json& key, std::string_view message, std::string_view signature_hex) {
  const std::string& scheme_name = key.at("scheme").get_ref<const std::string&>();
  const std::string& keytype = key.at("keytype").get_ref<const std::string&>();
  const std::string& public_key = key.at("keyval").at("public").get_ref<const std::string&>();
  const std::string signature = from_hex(signature_hex, kSignatureHexLimit);

  const Scheme* scheme = find_scheme(keytype, scheme_name);
  if (scheme == nullptr) return false;

  PkeyPtr loaded;
  std::string prehashed;
  std::string_view verified = message;
  if (scheme->family == Family::ed25519) {
    const std::string raw = from_hex(public_key, kPublicKeyLimit);
    if (raw.size() != 32 || signature.size() != 64) return false;
    loaded.reset(EVP_PKEY_new_raw_public_key_ex(nullptr, "ED25519", nullptr,
                                                reinterpret_cast<const unsigned char*>(raw.data()), raw.size()));
  } else {
    loaded = load_pem_public_key(public_key);
    if (scheme->family == Family::ml_dsa) {
      // The repository signs a domain-separated pre-hash, not the document itself.
      prehashed = std::string("tuf\x01", 4) + from_hex(digest_hex(message, "sha512"), 128);
      verified = prehashed;
    }
  }
  if (!loaded || !key_fits_scheme(loaded.get(), *scheme)) return false;
  return digest_verify(loaded.get(), *scheme, verified, signature);
}

const std::string& string_member(const Json& object, const char* name) {
  return object.at(name).get_ref<const std::string&>();
}

bool is_string_member(const Json& object, const char* name) {
  const auto found = object.find(name);
  return found != object.end() && found->is_string();
}

void check_signing_keys(const Json& keys) {
  require(keys.is_object(), "invalid_metadata", "Signing keys must be an object");
  for (const auto& [key_id, key] : keys.items()) {
    const bool shaped = key.is_object() && is_string_member(key, "keytype") && is_string_member(key, "scheme") &&
                        key.contains("keyval") && key.at("keyval").is_object() &&
                        is_string_member(key.at("keyval"), "public");
    require(shaped, "invalid_metadata", "Invalid signing key shape");
    require(digest_hex(canonical_json(key), "sha256") == key_id, "keyid_mismatch",
            "Signing key ID does not identify its canonical key");
    require(string_member(key.at("keyval"), "public").size() <= kPublicKeyLimit, "size_limit",
            "Signing key exceeds its size limit");
  }
}

void check_role(const Json& role, const Json& keys) {
  require(role.is_object() && role.contains("keyids") && role.at("keyids").is_array() && role.contains("threshold"),
          "invalid_metadata", kInvalidAuthority);
  metadata_version(role.at("threshold"));
  for (const Json& key_id : role.at("keyids"))
    require(key_id.is_string() && keys.contains(key_id.get_ref<const std::string&>()), "invalid_metadata",
            "Role references a key absent from its delegator");
}

// 1.x or 1.x.y with no leading zeros in x or y.
bool is_stable_tuf_version(std::string_view text) {
  if (text.size() > kTufVersionLimit || text.substr(0, 2) != "1.") return false;
  text.remove_prefix(2);
  int parts = 0;
  while (true) {
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == 0 || (digits > 1 && text[0] == '0')) return false;
    ++parts;
    text.remove_prefix(digits);
    if (text.empty()) return true;
    if (text[0] != '.' || parts == 2) return false;
    text.remove_prefix(1);
  }
}

void check_envelope(const Json& document) {
  require(document.is_object() && document.contains("signatures") && document.at("signatures").is_array() &&
              document.contains("signed") && document.at("signed").is_object(),
          "invalid_metadata", "Metadata must contain a signed object and signature array");
  std::set<std::string> seen;
  for (const Json& signature : document.at("signatures")) {
    require(signature.is_object() && is_string_member(signature, "keyid") && is_string_member(signature, "sig"),
            "invalid_metadata", "Signature must contain a key ID and signature string");
    require(seen.insert(string_member(signature, "keyid")).second, "invalid_metadata",
            "Metadata repeats a signature key ID");
  }
}

void check_root_content(const Json& signed_part) {
  const Json& keys = signed_part.at("keys");
  check_signing_keys(keys);
  if (signed_part.contains("consistent_snapshot"))
    require(signed_part.at("consistent_snapshot").is_boolean(), "invalid_metadata",
            "consistent_snapshot must be a boolean");
  require(signed_part.contains("roles") && signed_part.at("roles").is_object(), "invalid_metadata",
          "Root roles must be an object");
  const Json& roles = signed_part.at("roles");
  for (const char* name : {"root", "timestamp", "snapshot", "targets"}) check_role(roles.at(name), keys);
  if (roles.contains("mirrors")) check_role(roles.at("mirrors"), keys);
}

void validate_members(const Json& document, std::string_view expected_type) {
  check_envelope(document);
  const Json& signed_part = document.at("signed");
  require(string_member(signed_part, "_type") == expected_type, "metadata_type", "Unexpected metadata type");
  require(is_stable_tuf_version(string_member(signed_part, "spec_version")), "unsupported_spec",
          "A stable TUF 1.x[.y] specification version is required");
  metadata_version(signed_part.at("version"));
  parse_expiry(string_member(signed_part, "expires"));
  if (expected_type == "root") check_root_content(signed_part);
}

bool all_digits(std::string_view text) {
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

void validate_metadata(const Json& document, std::string_view expected_type) {
  try {
    validate_members(document, expected_type);
  } catch (const Json::exception&) {
    throw Error("invalid_metadata", kMalformed);
  }
}

void verify_signatures(const Json& document, const Json& keys, const Json& role) {
  require(keys.is_object() && role.at("keyids").is_array(), "invalid_metadata", kInvalidAuthority);
  check_signing_keys(keys);
  const std::uint64_t threshold = metadata_version(role.at("threshold"));

  std::set<std::string> authorised;
  for (const Json& key_id : role.at("keyids"))
    if (key_id.is_string()) authorised.insert(key_id.get<std::string>());
  require(authorised.size() >= threshold, "invalid_threshold", "Signing threshold exceeds unique authorized keys");

  const std::string message = canonical_json(document.at("signed"));
  std::set<std::string> counted;
  for (const Json& signature : document.at("signatures").get_ref<const Json::array_t&>()) {
    const std::string& key_id = string_member(signature, "keyid");
    if (counted.count(key_id) != 0 || authorised.count(key_id) == 0 || !keys.contains(key_id)) continue;
    if (verify_signature(keys.at(key_id), message, string_member(signature, "sig"))) counted.insert(key_id);
  }
  require(counted.size() >= threshold, "signature_threshold",
          "Metadata does not meet its authorized signature threshold");
}

bool verify_signature(const Json& key, std::string_view message, std::string_view signature_hex) {
  ErrorQueueGuard clear_errors;
  try {
    return verify_or_throw(key, message, signature_hex);
  } catch (...) {
    return false;
  }
}

UtcTime parse_expiry(std::string_view text) {
  const std::size_t n = text.size();
  const bool shaped = n >= 20 && n <= 30 && text[4] == '-' && text[7] == '-' && text[10] == 'T' && text[13] == ':' &&
                      text[16] == ':' && text[n - 1] == 'Z' && (n == 20 || (n >= 22 && text[19] == '.'));
  require(shaped, "invalid_expiry", "Expiry must use a UTC ISO-8601 timestamp");

  struct Field {
    std::size_t offset;
    std::size_t length;
  };
  constexpr std::array<Field, 6> kFields{{{0, 4}, {5, 2}, {8, 2}, {11, 2}, {14, 2}, {17, 2}}};
  std::array<unsigned, 6> values{};
  for (std::size_t i = 0; i < kFields.size(); ++i)
    require(all_digits(text.substr(kFields[i].offset, kFields[i].length)), "invalid_expiry",
            "Timestamp fields must contain decimal digits");
  for (std::size_t i = 0; i < kFields.size(); ++i) {
    const char* first = text.data() + kFields[i].offset;
    const char* last = first + kFields[i].length;
    const auto [end, error] = std::from_chars(first, last, values[i]);
    require(error == std::errc() && end == last, "invalid_expiry", "Invalid timestamp digits");
  }

  using namespace std::chrono;
  const year_month_day date{year{static_cast<int>(values[0])}, month{values[1]}, day{values[2]}};
  require(date.ok() && values[3] < 24 && values[4] < 60 && values[5] < 60, "invalid_expiry",
          "Invalid UTC calendar time");

  std::int64_t micros = 0;
  if (n > 20) {
    const std::string_view fraction = text.substr(20, n - 21);
    require(all_digits(fraction), "invalid_expiry", "Invalid fractional second");
    for (std::size_t i = 0; i < 6; ++i) micros = micros * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
  }
  return sys_days(date) + hours(values[3]) + minutes(values[4]) + seconds(values[5]) + microseconds(micros);
}

void check_initial_root(std::string_view root_bytes, UtcTime now) {
  const Json document = parse_json(root_bytes, root_metadata_limit);
  const Json& signed_part = document.at("signed");
  verify_signatures(document, signed_part.at("keys"), signed_part.at("roles").at("root"));
  const UtcTime expires = parse_expiry(string_member(signed_part, "expires"));
  require(expires > now, "expired_metadata", "The initial package's TUF root has expired");
}

void check_initial_root(std::string_view root_bytes) {
  check_initial_root(root_bytes, std::chrono::floor<std::chrono::microseconds>(std::chrono::system_clock::now()));
}

}  // namespace tovra
