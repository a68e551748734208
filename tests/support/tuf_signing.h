#pragma once
// Test signing for repository metadata: key pairs of every supported scheme generated with the
// cryptography library, their key objects and identifiers, and signed root documents.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.h"

struct evp_pkey_st;

namespace tovra::testing {

// How an RSA signature is made; the defaults are what the schemes require.
struct RsaSigning {
  int salt_length = -1;        // -1: the digest length
  const char* mgf1 = nullptr;  // nullptr: the scheme's digest
  bool pkcs1_v15 = false;      // no PSS at all
};

class TufSigner {
 public:
  // A new key pair for `scheme` (a scheme name of the key table); throws std::runtime_error when
  // the library cannot make such a key (ML-DSA before OpenSSL 3.5).
  static TufSigner generate(std::string_view scheme);
  // A key whose size or curve differs from what the scheme demands.
  static TufSigner generate_rsa(std::string_view scheme, int bits);
  static TufSigner generate_ec(std::string_view scheme, const char* curve);

  // {"keytype", "scheme", "keyval": {"public"}}.
  const Json& key() const { return key_; }
  // Lower-case hex SHA-256 of the key's canonical form.
  std::string key_id() const;
  // The signature over `message` in hexadecimal, following the key's scheme (the ML-DSA schemes
  // sign the "tuf" 0x01 SHA-512 pre-hash).
  std::string sign(std::string_view message) const;
  std::string sign_rsa(std::string_view message, const RsaSigning& variant) const;
  // Signs exactly these bytes, with no pre-hash.
  std::string sign_raw(std::string_view message) const;

 private:
  TufSigner(std::shared_ptr<evp_pkey_st> pair, Json key) : pair_(std::move(pair)), key_(std::move(key)) {}
  std::string sign_with(std::string_view message, const RsaSigning& variant) const;

  std::shared_ptr<evp_pkey_st> pair_;
  Json key_;
};

// True when the library can make keys for `scheme`.
bool scheme_available(std::string_view scheme);

// One key per scheme made on first use and kept for the test program (RSA generation is slow).
const TufSigner& shared_signer(std::string_view scheme);

// The `signed` content of a root whose four roles all use `keys` with `threshold`.
Json root_content(const std::vector<const TufSigner*>& keys, std::uint64_t threshold,
                  std::string_view expires = "2100-01-01T00:00:00Z");

// {"signatures": [...], "signed": content}, one signature per signer in order.
Json signed_envelope(const Json& content, const std::vector<const TufSigner*>& signers);

// A one-key root (Ed25519) with threshold 1, as a publisher might lay it out: "signed" first, indented.
std::string sample_root_bytes(std::string_view expires = "2100-01-01T00:00:00Z");

}  // namespace tovra::testing
