#pragma once
// Signing keys of every scheme the installer verifies, kept as PEM private keys plus the public
// key record that goes into the root's `keys`.

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/types.h>

#include "core/json.h"

namespace tovra::builder {

struct PkeyFree {
  void operator()(EVP_PKEY* key) const noexcept;
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

// Scheme names exactly as they appear in key records.
const std::vector<std::string>& signing_schemes();
// True when the OpenSSL in use can make and use keys of this scheme (ML-DSA needs 3.5).
bool scheme_available(std::string_view scheme);

class SigningKey {
 public:
  // Takes ownership of `key`; its algorithm must suit `scheme`. The RSA size is not checked
  // here, so tests can hand in keys the installer must refuse.
  SigningKey(std::string scheme, PkeyPtr key);

  const std::string& scheme() const { return scheme_; }
  const std::string& keytype() const { return keytype_; }
  EVP_PKEY* pkey() const { return key_.get(); }

  // {"keytype","keyval":{"public"},"scheme"}: the form whose canonical SHA-256 is the key ID.
  Json record() const;
  std::string id() const;
  std::string private_pem() const;

  // Signs exactly `message` with the scheme's algorithm; raw signature bytes.
  std::string sign_raw(std::string_view message) const;
  // Signs the canonical form of a metadata `signed` object (ML-DSA over its pre-hash); hex.
  std::string sign_content(const Json& content) const;

 private:
  std::string scheme_;
  std::string keytype_;
  PkeyPtr key_;
};

// Fresh key of `scheme`; RSA schemes take `rsa_bits`, which must be at least 2048.
SigningKey generate_key(std::string_view scheme, unsigned rsa_bits = 3072);
SigningKey load_signing_key(std::string_view scheme, std::string_view private_pem);

// PREFIX.pem (private, owner-only) and PREFIX.pub.json (public record); both or neither.
std::filesystem::path private_key_path(const std::filesystem::path& prefix);
std::filesystem::path public_record_path(const std::filesystem::path& prefix);
void write_key_files(const SigningKey& key, const std::filesystem::path& prefix);
// Reads both files back and checks that the record belongs to the private key.
SigningKey read_key_files(const std::filesystem::path& prefix);

}  // namespace tovra::builder
