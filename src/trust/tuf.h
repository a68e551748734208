#pragma once
// Signed repository metadata: envelope and root checks, key identifiers, signature schemes,
// threshold counting and expiry timestamps.

#include <chrono>
#include <cstdint>
#include <string_view>

#include "core/json.h"

namespace tovra {

// Largest root document the installer reads.
inline constexpr std::uint64_t root_metadata_limit = 524288;

// Expiry times keep microseconds; further fraction digits are dropped.
using UtcTime = std::chrono::sys_time<std::chrono::microseconds>;

// Checks the envelope and, for "root", the root content (keys, roles, flags).
void validate_metadata(const Json& document, std::string_view expected_type);

// Counts distinct authorised keys whose signature over the canonical `signed` verifies and
// requires the role's threshold. Bad or foreign signatures are skipped, never reported.
void verify_signatures(const Json& document, const Json& keys, const Json& role);

// One signature given as hexadecimal text. Never raises: anything malformed answers false.
bool verify_signature(const Json& key, std::string_view message, std::string_view signature_hex);

UtcTime parse_expiry(std::string_view text);

// The package load's check: parse, verify against the root's own root role, refuse expiry
// at or before `now`. Missing or mistyped members surface as JSON library exceptions.
void check_initial_root(std::string_view root_bytes, UtcTime now);
void check_initial_root(std::string_view root_bytes);

}  // namespace tovra
