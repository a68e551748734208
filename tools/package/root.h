#pragma once
// The repository's TUF root: signed content, envelope and signatures.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/json.h"
#include "package/keys.h"

namespace tovra::builder {

struct RootRole {
  std::vector<Json> keys;  // public key records
  std::uint64_t threshold = 1;
};

struct RootOptions {
  RootRole root, timestamp, snapshot, targets;
  std::optional<RootRole> mirrors;
  std::string expires;  // empty: one year from now
  std::uint64_t version = 1;
  std::string spec_version = "1.0.31";
  std::optional<bool> consistent_snapshot = true;
};

// Every role held by the same keys with threshold 1.
RootOptions root_with_keys(const std::vector<const SigningKey*>& keys);

// "%Y-%m-%dT%H:%M:%SZ" in UTC, seconds truncated.
std::string format_expiry(std::chrono::system_clock::time_point when);

// The `signed` object: keys gathered from every role under their key IDs.
Json root_content(const RootOptions& options);

// {"signatures":[{"keyid","sig"}...],"signed":content}, one signature per signer in order.
Json sign_metadata(const Json& content, const std::vector<const SigningKey*>& signers);

Json sign_root(const RootOptions& options, const std::vector<const SigningKey*>& signers);

}  // namespace tovra::builder
