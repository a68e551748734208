#pragma once
// Digests (SHA-256 and SHA-512 only), strict hexadecimal, random identifiers, file hashing.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace tovra {

// (bytes done, bytes total) -> continue?
using HashProgress = std::function<bool(std::uint64_t, std::uint64_t)>;

// Initialises the cryptography library once per process without its configuration file.
void initialize_crypto();

std::string digest_hex(std::string_view bytes, std::string_view algorithm);
std::string to_hex(std::string_view bytes);
std::string from_hex(std::string_view text, std::size_t maximum);
std::string random_identifier();
std::string hash_file(const std::filesystem::path& path, std::string_view algorithm, const HashProgress& progress);

// Wraps a caller's progress so hash_file refuses a file whose length differs from `declared`.
HashProgress declared_length_guard(std::uint64_t declared, std::uint64_t base, std::uint64_t overall_total,
                                   HashProgress progress);

}  // namespace tovra
