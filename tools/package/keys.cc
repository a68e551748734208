#include "package/keys.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "core/digest.h"
#include "core/error.h"
#include "core/paths.h"
#include "package/output.h"

namespace tovra::builder {

namespace {

struct SchemeInfo {
  const char* scheme;
  const char* keytype;
  const char* algorithm;  // OpenSSL key type name
  const char* curve;      // EC group, or nullptr
  const char* digest;     // message digest, or nullptr for pure schemes
};

constexpr SchemeInfo schemes[] = {
    {"ed25519", "ed25519", "ED25519", nullptr, nullptr},
    {"ecdsa-sha2-nistp256", "ecdsa", "EC", "prime256v1", "SHA256"},
    {"ecdsa-sha2-nistp384", "ecdsa", "EC", "secp384r1", "SHA384"},
    {"ecdsa-sha2-nistp521", "ecdsa", "EC", "secp521r1", "SHA512"},
    {"rsassa-pss-sha256", "rsa", "RSA", nullptr, "SHA256"},
    {"rsassa-pss-sha384", "rsa", "RSA", nullptr, "SHA384"},
    {"rsassa-pss-sha512", "rsa", "RSA", nullptr, "SHA512"},
    {"ml-dsa-44/1", "ml-dsa", "ML-DSA-44", nullptr, nullptr},
    {"ml-dsa-65/1", "ml-dsa", "ML-DSA-65", nullptr, nullptr},
    {"ml-dsa-87/1", "ml-dsa", "ML-DSA-87", nullptr, nullptr},
};

constexpr unsigned minimum_rsa_bits = 2048;
constexpr std::uintmax_t key_file_limit = 65536;

const SchemeInfo& scheme_info(std::string_view scheme) {
  for (const auto& info : schemes) {
    if (scheme == info.scheme) return info;
  }
  throw Error("key", "Unknown signing scheme: " + std::string(scheme));
}

struct BioFree {
  void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
struct MdCtxFree {
  void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* context) const noexcept { EVP_PKEY_CTX_free(context); }
};
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

std::string bio_text(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  require(length >= 0 && (length == 0 || data != nullptr), "key", "Cannot serialise key");
  return std::string(data, static_cast<std::size_t>(length));
}

std::string group_name(EVP_PKEY* key) {
  char name[80] = {};
  std::size_t length = 0;
  if (EVP_PKEY_get_group_name(key, name, sizeof name, &length) != 1) return {};
  return std::string(name, length);
}

bool suits(const SchemeInfo& info, EVP_PKEY* key) {
  if (key == nullptr || EVP_PKEY_is_a(key, info.algorithm) != 1) return false;
  return info.curve == nullptr || group_name(key) == info.curve;
}

std::string ml_dsa_prehash(std::string_view canonical) {
  return std::string("tuf\x01", 4) + from_hex(digest_hex(canonical, "sha512"), 128);
}

}  // namespace

void PkeyFree::operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }

const std::vector<std::string>& signing_schemes() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> list;
    for (const auto& info : schemes) list.emplace_back(info.scheme);
    return list;
  }();
  return names;
}

bool scheme_available(std::string_view scheme) {
  for (const auto& info : schemes) {
    if (scheme != info.scheme) continue;
    initialize_crypto();
    PkeyCtxPtr context(EVP_PKEY_CTX_new_from_name(nullptr, info.algorithm, nullptr));
    return context != nullptr;
  }
  return false;
}

SigningKey::SigningKey(std::string scheme, PkeyPtr key) : scheme_(std::move(scheme)), key_(std::move(key)) {
  const SchemeInfo& info = scheme_info(scheme_);
  require(suits(info, key_.get()), "key", "The key does not suit the scheme " + scheme_);
  keytype_ = info.keytype;
}

Json SigningKey::record() const {
  std::string public_text;
  if (keytype_ == "ed25519") {
    unsigned char raw[32];
    std::size_t length = sizeof raw;
    require(EVP_PKEY_get_raw_public_key(key_.get(), raw, &length) == 1 && length == sizeof raw, "key",
            "Cannot read the Ed25519 public key");
    public_text = to_hex(std::string_view(reinterpret_cast<const char*>(raw), length));
  } else {
    BioPtr bio(BIO_new(BIO_s_mem()));
    require(bio && PEM_write_bio_PUBKEY(bio.get(), key_.get()) == 1, "key", "Cannot write the public key");
    public_text = bio_text(bio.get());
  }
  return Json{{"keytype", keytype_}, {"scheme", scheme_}, {"keyval", Json{{"public", public_text}}}};
}

std::string SigningKey::id() const { return digest_hex(canonical_json(record()), "sha256"); }

std::string SigningKey::private_pem() const {
  BioPtr bio(BIO_new(BIO_s_mem()));
  require(bio && PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "key", "Cannot write the private key");
  return bio_text(bio.get());
}

std::string SigningKey::sign_raw(std::string_view message) const {
  const SchemeInfo& info = scheme_info(scheme_);
  MdCtxPtr context(EVP_MD_CTX_new());
  EVP_PKEY_CTX* key_context = nullptr;
  require(context && EVP_DigestSignInit_ex(context.get(), &key_context, info.digest, nullptr, nullptr, key_.get(),
                                           nullptr) == 1,
          "key", "Cannot start signing with " + scheme_);
  if (keytype_ == "rsa") {
    require(EVP_PKEY_CTX_set_rsa_padding(key_context, RSA_PKCS1_PSS_PADDING) == 1 &&
                EVP_PKEY_CTX_set_rsa_mgf1_md_name(key_context, info.digest, nullptr) == 1 &&
                EVP_PKEY_CTX_set_rsa_pss_saltlen(key_context, RSA_PSS_SALTLEN_DIGEST) == 1,
            "key", "Cannot set RSA-PSS parameters");
  }
  const auto* data = reinterpret_cast<const unsigned char*>(message.data());
  std::size_t length = 0;
  require(EVP_DigestSign(context.get(), nullptr, &length, data, message.size()) == 1, "key",
          "Cannot size the signature");
  std::string signature(length, '\0');
  require(EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, data,
                         message.size()) == 1,
          "key", "Signing failed with " + scheme_);
  signature.resize(length);
  return signature;
}

std::string SigningKey::sign_content(const Json& content) const {
  const std::string canonical = canonical_json(content);
  if (keytype_ == "ml-dsa") return to_hex(sign_raw(ml_dsa_prehash(canonical)));
  return to_hex(sign_raw(canonical));
}

SigningKey generate_key(std::string_view scheme, unsigned rsa_bits) {
  const SchemeInfo& info = scheme_info(scheme);
  initialize_crypto();
  require(scheme_available(scheme), "key",
          std::string("This OpenSSL cannot make ") + info.algorithm + " keys (ML-DSA needs OpenSSL 3.5 or later)");
  EVP_PKEY* raw = nullptr;
  if (info.curve != nullptr) {
    raw = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", info.curve);
  } else if (std::string_view(info.algorithm) == "RSA") {
    require(rsa_bits >= minimum_rsa_bits, "key", "RSA keys need at least 2048 bits");
    raw = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<std::size_t>(rsa_bits));
  } else {
    raw = EVP_PKEY_Q_keygen(nullptr, nullptr, info.algorithm);
  }
  require(raw != nullptr, "key", "Key generation failed for " + std::string(scheme));
  return SigningKey(std::string(scheme), PkeyPtr(raw));
}

SigningKey load_signing_key(std::string_view scheme, std::string_view private_pem) {
  initialize_crypto();
  require(private_pem.size() <= key_file_limit, "key", "Private key file is too large");
  BioPtr bio(BIO_new_mem_buf(private_pem.data(), static_cast<int>(private_pem.size())));
  require(bio != nullptr, "key", "Cannot read the private key");
  PkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  require(key != nullptr, "key", "The private key is not a PEM private key");
  if (scheme_info(scheme).keytype == std::string_view("rsa")) {
    require(EVP_PKEY_get_bits(key.get()) >= static_cast<int>(minimum_rsa_bits), "key",
            "RSA keys need at least 2048 bits");
  }
  return SigningKey(std::string(scheme), std::move(key));
}

std::filesystem::path private_key_path(const std::filesystem::path& prefix) {
  return native_path(utf8_path(prefix) + ".pem");
}

std::filesystem::path public_record_path(const std::filesystem::path& prefix) {
  return native_path(utf8_path(prefix) + ".pub.json");
}

void write_key_files(const SigningKey& key, const std::filesystem::path& prefix) {
  const auto private_path = private_key_path(prefix);
  const auto record_path = public_record_path(prefix);
  std::error_code ec;
  require(!std::filesystem::exists(std::filesystem::symlink_status(private_path, ec)) &&
              !std::filesystem::exists(std::filesystem::symlink_status(record_path, ec)),
          "output", "Refusing to replace the key files at " + utf8_path(prefix));
  publish_file(private_path, key.private_pem(), true);
  try {
    publish_file(record_path, key.record().dump(2) + "\n", false);
  } catch (...) {
    std::filesystem::remove(private_path, ec);
    throw;
  }
}

SigningKey read_key_files(const std::filesystem::path& prefix) {
  const std::string record_text = read_whole_file(public_record_path(prefix), key_file_limit);
  Json record;
  try {
    record = parse_json(record_text, key_file_limit);
    record.at("scheme").get<std::string>();
  } catch (const Error&) {
    throw Error("key", "Public key record is not JSON: " + utf8_path(public_record_path(prefix)));
  } catch (const Json::exception&) {
    throw Error("key", "Public key record has no scheme: " + utf8_path(public_record_path(prefix)));
  }
  SigningKey key = load_signing_key(record.at("scheme").get<std::string>(),
                                    read_whole_file(private_key_path(prefix), key_file_limit));
  require(key.record() == record, "key", "The public key record does not belong to " + utf8_path(private_key_path(prefix)));
  return key;
}

}  // namespace tovra::builder
