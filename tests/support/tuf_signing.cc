#include "support/tuf_signing.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <stdexcept>

#include "core/digest.h"

namespace tovra::testing {

// A key that could not be made is null, and exporting or signing with it throws.
RawKey raw_rsa_key(int bits) {
  return RawKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<std::size_t>(bits)), EVP_PKEY_free);
}
RawKey raw_ec_key(const char* curve) { return RawKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve), EVP_PKEY_free); }

Json claimed_record(EVP_PKEY* key, std::string_view scheme) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio || PEM_write_bio_PUBKEY(bio.get(), key) != 1) throw std::runtime_error("cannot export key");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  const std::string keytype = scheme.starts_with("rsassa-pss-") ? "rsa" : "ecdsa";
  return Json{{"keytype", keytype},
              {"scheme", std::string(scheme)},
              {"keyval", {{"public", std::string(data, static_cast<std::size_t>(length))}}}};
}

std::string raw_sign(EVP_PKEY* key, const char* digest, std::string_view message, const RsaSigning& rsa) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_PKEY_CTX* key_ctx = nullptr;
  if (!ctx || EVP_DigestSignInit_ex(ctx.get(), &key_ctx, digest, nullptr, nullptr, key, nullptr) != 1)
    throw std::runtime_error("sign init");
  if (EVP_PKEY_is_a(key, "RSA") == 1) {
    if (rsa.pkcs1_v15) {
      EVP_PKEY_CTX_set_rsa_padding(key_ctx, RSA_PKCS1_PADDING);
    } else {
      EVP_PKEY_CTX_set_rsa_padding(key_ctx, RSA_PKCS1_PSS_PADDING);
      EVP_PKEY_CTX_set_rsa_mgf1_md_name(key_ctx, rsa.mgf1 != nullptr ? rsa.mgf1 : digest, nullptr);
      EVP_PKEY_CTX_set_rsa_pss_saltlen(key_ctx, rsa.salt_length);
    }
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(message.data());
  std::size_t length = 0;
  if (EVP_DigestSign(ctx.get(), nullptr, &length, bytes, message.size()) != 1) throw std::runtime_error("sign size");
  std::string signature(length, '\0');
  if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, bytes, message.size()) != 1)
    throw std::runtime_error("sign");
  signature.resize(length);
  return to_hex(signature);
}

}  // namespace tovra::testing
