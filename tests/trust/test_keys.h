#pragma once
// Repository keys and roots for the tests, made with the package builder.

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/test_util.h"
#include "package/keys.h"
#include "package/root.h"

namespace tovra::testing {

using builder::sign_metadata;
using builder::SigningKey;

// One key per scheme for the whole test program (RSA generation is slow).
inline const SigningKey& shared_key(std::string_view scheme) {
  static std::map<std::string, SigningKey, std::less<>> keys;
  auto found = keys.find(scheme);
  if (found == keys.end()) found = keys.emplace(std::string(scheme), builder::generate_key(scheme, 2048)).first;
  return found->second;
}

// The `signed` content of a root whose four roles all use `keys` with `threshold`.
inline Json root_content(const std::vector<const SigningKey*>& keys, std::uint64_t threshold,
                         const std::string& expires = "2100-01-01T00:00:00Z") {
  builder::RootOptions options = builder::root_with_keys(keys);
  for (builder::RootRole* role : {&options.root, &options.timestamp, &options.snapshot, &options.targets})
    role->threshold = threshold;
  options.expires = expires;
  return builder::root_content(options);
}

// A one-key Ed25519 root laid out as a publisher might: "signed" first, indented.
inline std::string sample_root_bytes(const std::string& expires = "2100-01-01T00:00:00Z") {
  const SigningKey& key = shared_key("ed25519");
  const Json envelope = sign_metadata(root_content({&key}, 1, expires), {&key});
  return "{\n  \"signed\": " + envelope.at("signed").dump(4) + ",\n  \"signatures\": " +
         envelope.at("signatures").dump() + "\n}\n";
}

}  // namespace tovra::testing
