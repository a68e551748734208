#pragma once
// Keys and signatures the package builder will not make, so the verifier's refusals can be
// tested: RSA keys under 2048 bits, EC keys on a curve their scheme does not name, and RSA
// signatures with another padding, salt or mask digest.

#include <memory>
#include <string>
#include <string_view>

#include "core/json.h"

struct evp_pkey_st;

namespace tovra::testing {

// How an RSA signature is made; the defaults are what the schemes require.
struct RsaSigning {
  int salt_length = -1;        // -1: the digest length
  const char* mgf1 = nullptr;  // nullptr: the signing digest
  bool pkcs1_v15 = false;      // no PSS at all
};

using RawKey = std::shared_ptr<evp_pkey_st>;
RawKey raw_rsa_key(int bits);
RawKey raw_ec_key(const char* curve);

// The public key record of `key` under `scheme`, whatever the key really is.
Json claimed_record(evp_pkey_st* key, std::string_view scheme);

// Hex signature over exactly `message` with `digest` ("SHA256", ...); RSA keys follow `rsa`.
std::string raw_sign(evp_pkey_st* key, const char* digest, std::string_view message, const RsaSigning& rsa = {});

}  // namespace tovra::testing
