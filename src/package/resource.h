#pragma once
// Package resources: the flat files an initial package descriptor names by length and SHA-256.

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>

#include "core/json.h"

namespace tovra {

struct PackageResource {
  std::string path;  // flat file name inside the package directory
  std::uint64_t length = 0;
  std::string sha256;
};

inline constexpr const char* package_descriptor_name = "initial-package.json";
inline constexpr std::uint64_t descriptor_read_limit = 524288;
inline constexpr std::uint64_t ca_bundle_limit = 1048576;
inline constexpr std::uint64_t icon_limit = 1048576;

// `value` must be an object with exactly the `names` as members.
void require_exact_members(const Json& value, std::initializer_list<const char*> names);

// Reads {path, length, sha256}; `length` must lie in 1..limit. The name rule is applied later.
PackageResource read_package_resource(const Json& value, std::uint64_t limit);

// A safe portable flat name: no '/', not beginning with '.', not the descriptor's own name.
void check_resource_name(std::string_view path);

// Reads root/path within `limit` bytes and requires the declared length and digest.
std::string load_package_resource(const std::filesystem::path& root, const PackageResource& resource,
                                  std::uint64_t limit);

}  // namespace tovra
