#pragma once
// Protocol JSON: the strict profile every document the installer reads goes through.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tovra {

using Json = nlohmann::json;

// Reads a whole ordinary file (never a link or directory) of at most `limit` bytes.
std::string read_bounded_file(const std::filesystem::path& path, std::uint64_t limit);

// Parses `text` (at most `limit` bytes): nesting at most 64, no duplicate keys, no floating point.
Json parse_json(std::string_view text, std::uint64_t limit);

// Canonical serialisation for signed content and key identifiers.
std::string canonical_json(const Json& value);

// A positive integer version or threshold.
std::uint64_t metadata_version(const Json& value);

}  // namespace tovra
