#include "support/tuf_signing.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <map>
#include <stdexcept>

#include "core/digest.h"

namespace tovra::testing {
namespace {

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

std::shared_ptr<EVP_PKEY> own(EVP_PKEY* pair) {
  if (pair == nullptr) throw std::runtime_error("key generation failed");
  return std::shared_ptr<EVP_PKEY>(pair, EVP_PKEY_free);
}

std::string keytype_of(std::string_view scheme) {
  if (scheme.starts_with("rsassa-pss-")) return "rsa";
  if (scheme.starts_with("ecdsa-")) return "ecdsa";
  if (scheme.starts_with("ml-dsa-")) return "ml-dsa";
  return std::string(scheme);
}

const char* digest_of(std::string_view scheme) {
  if (scheme.ends_with("sha256") || scheme.ends_with("nistp256")) return "SHA256";
  if (scheme.ends_with("sha384") || scheme.ends_with("nistp384")) return "SHA384";
  if (scheme.ends_with("sha512") || scheme.ends_with("nistp521")) return "SHA512";
  return nullptr;
}

std::string pem_public(EVP_PKEY* pair) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PUBKEY(bio.get(), pair) != 1) throw std::runtime_error("cannot export key");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

Json key_object(std::string_view scheme, const std::string& public_text) {
  return Json{{"keytype", keytype_of(scheme)}, {"scheme", std::string(scheme)}, {"keyval", {{"public", public_text}}}};
}

std::string ml_dsa_algorithm(std::string_view scheme) {
  // "ml-dsa-65/1" -> "ML-DSA-65"
  return "ML-DSA-" + std::string(scheme.substr(7, 2));
}

}  // namespace

TufSigner TufSigner::generate(std::string_view scheme) {
  const std::string keytype = keytype_of(scheme);
  if (keytype == "rsa") return generate_rsa(scheme, 2048);
  if (scheme == "ecdsa-sha2-nistp256") return generate_ec(scheme, "P-256");
  if (scheme == "ecdsa-sha2-nistp384") return generate_ec(scheme, "P-384");
  if (scheme == "ecdsa-sha2-nistp521") return generate_ec(scheme, "P-521");
  if (scheme == "ed25519") {
    auto pair = own(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    unsigned char raw[32];
    std::size_t length = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(pair.get(), raw, &length) != 1) throw std::runtime_error("raw key");
    return TufSigner(pair, key_object(scheme, to_hex(std::string_view(reinterpret_cast<char*>(raw), length))));
  }
  if (keytype == "ml-dsa") {
    auto pair = own(EVP_PKEY_Q_keygen(nullptr, nullptr, ml_dsa_algorithm(scheme).c_str()));
    return TufSigner(pair, key_object(scheme, pem_public(pair.get())));
  }
  throw std::runtime_error("unknown scheme " + std::string(scheme));
}

TufSigner TufSigner::generate_rsa(std::string_view scheme, int bits) {
  auto pair = own(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<std::size_t>(bits)));
  return TufSigner(pair, key_object(scheme, pem_public(pair.get())));
}

TufSigner TufSigner::generate_ec(std::string_view scheme, const char* curve) {
  auto pair = own(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve));
  return TufSigner(pair, key_object(scheme, pem_public(pair.get())));
}

std::string TufSigner::key_id() const { return digest_hex(canonical_json(key_), "sha256"); }

std::string TufSigner::sign(std::string_view message) const {
  const std::string& scheme = key_.at("scheme").get_ref<const std::string&>();
  if (keytype_of(scheme) == "ml-dsa")
    return sign_raw(std::string("tuf\x01", 4) + from_hex(digest_hex(message, "sha512"), 128));
  return sign_with(message, RsaSigning{});
}

std::string TufSigner::sign_rsa(std::string_view message, const RsaSigning& variant) const {
  return sign_with(message, variant);
}

std::string TufSigner::sign_raw(std::string_view message) const { return sign_with(message, RsaSigning{}); }

std::string TufSigner::sign_with(std::string_view message, const RsaSigning& variant) const {
  const std::string& scheme = key_.at("scheme").get_ref<const std::string&>();
  const char* digest = digest_of(scheme);
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX* key_ctx = nullptr;
  if (!ctx || EVP_DigestSignInit_ex(ctx.get(), &key_ctx, digest, nullptr, nullptr, pair_.get(), nullptr) != 1)
    throw std::runtime_error("sign init");
  if (EVP_PKEY_is_a(pair_.get(), "RSA") == 1) {
    if (variant.pkcs1_v15) {
      EVP_PKEY_CTX_set_rsa_padding(key_ctx, RSA_PKCS1_PADDING);
    } else {
      EVP_PKEY_CTX_set_rsa_padding(key_ctx, RSA_PKCS1_PSS_PADDING);
      EVP_PKEY_CTX_set_rsa_mgf1_md_name(key_ctx, variant.mgf1 != nullptr ? variant.mgf1 : digest, nullptr);
      EVP_PKEY_CTX_set_rsa_pss_saltlen(key_ctx, variant.salt_length);
    }
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(message.data());
  std::size_t length = 0;
  if (EVP_DigestSign(ctx.get(), nullptr, &length, bytes, message.size()) != 1) throw std::runtime_error("sign size");
  std::string signature(length, '\0');
  if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, bytes, message.size()) !=
      1)
    throw std::runtime_error("sign");
  signature.resize(length);
  return to_hex(signature);
}

bool scheme_available(std::string_view scheme) {
  if (keytype_of(scheme) != "ml-dsa") return true;
  EVP_PKEY_CTX* probe = EVP_PKEY_CTX_new_from_name(nullptr, ml_dsa_algorithm(scheme).c_str(), nullptr);
  EVP_PKEY_CTX_free(probe);
  return probe != nullptr;
}

const TufSigner& shared_signer(std::string_view scheme) {
  static std::map<std::string, TufSigner, std::less<>> signers;
  auto found = signers.find(scheme);
  if (found == signers.end()) found = signers.emplace(std::string(scheme), TufSigner::generate(scheme)).first;
  return found->second;
}

Json root_content(const std::vector<const TufSigner*>& keys, std::uint64_t threshold, std::string_view expires) {
  Json key_map = Json::object();
  Json key_ids = Json::array();
  for (const TufSigner* signer : keys) {
    key_map[signer->key_id()] = signer->key();
    key_ids.push_back(signer->key_id());
  }
  const Json role{{"keyids", key_ids}, {"threshold", threshold}};
  return Json{{"_type", "root"},
              {"spec_version", "1.0.31"},
              {"version", 1},
              {"expires", std::string(expires)},
              {"consistent_snapshot", true},
              {"keys", key_map},
              {"roles", {{"root", role}, {"timestamp", role}, {"snapshot", role}, {"targets", role}}}};
}

Json signed_envelope(const Json& content, const std::vector<const TufSigner*>& signers) {
  const std::string message = canonical_json(content);
  Json signatures = Json::array();
  for (const TufSigner* signer : signers)
    signatures.push_back({{"keyid", signer->key_id()}, {"sig", signer->sign(message)}});
  return Json{{"signatures", signatures}, {"signed", content}};
}

std::string sample_root_bytes(std::string_view expires) {
  const TufSigner& signer = shared_signer("ed25519");
  const Json envelope = signed_envelope(root_content({&signer}, 1, expires), {&signer});
  // "signed" first and indented: not the order or spacing that the JSON library writes.
  return "{\n  \"signed\": " + envelope.at("signed").dump(4) +
         ",\n  \"signatures\": " + envelope.at("signatures").dump() + "\n}\n";
}

}  // namespace tovra::testing
