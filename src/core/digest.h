#pragma once
// Digests (SHA-256 and SHA-512 only), strict hexadecimal, random identifiers, file hashing.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct evp_md_st;      // OpenSSL's EVP_MD
struct evp_md_ctx_st;  // OpenSSL's EVP_MD_CTX

namespace tovra {

// (bytes done, bytes total) -> continue?
using HashProgress = std::function<bool(std::uint64_t, std::uint64_t)>;

// Initialises the cryptography library once per process without its configuration file.
void initialize_crypto();

// "sha256" or "sha512" (exactly); anything else is unsupported_hash.
const evp_md_st* digest_algorithm(std::string_view name);

std::string digest_hex(std::string_view bytes, std::string_view algorithm);
std::string to_hex(std::string_view bytes);
// Strict decoding of at most `maximum` characters; upper case is accepted.
std::string from_hex(std::string_view text, std::size_t maximum);
// 16 random bytes as 32 lower-case hexadecimal characters.
std::string random_identifier();
// A digest fed piece by piece, for bytes that arrive in chunks.
class StreamingDigest {
 public:
  explicit StreamingDigest(std::string_view algorithm);
  void update(const char* data, std::size_t size);
  std::string finish_hex();  // once

 private:
  struct Free {
    void operator()(evp_md_ctx_st* context) const;
  };
  std::unique_ptr<evp_md_ctx_st, Free> context_;
};

// Hashes a file in one pass (never through a final link). With a progress callback the size at
// the start bounds the read, and the callback may cancel.
std::string hash_file(const std::filesystem::path& path, std::string_view algorithm, const HashProgress& progress);
// The same for a file that must be `length` bytes long: nothing when its size differs, found from
// its status before any byte is read, or from what the read found. Progress totals are `length`.
std::optional<std::string> hash_file_of_length(const std::filesystem::path& path, std::string_view algorithm,
                                               std::uint64_t length, const HashProgress& progress);

// Wraps a caller's progress so hash_file refuses a file whose length differs from `declared`;
// reports (base + done, overall_total) to `progress`.
HashProgress declared_length_guard(std::uint64_t declared, std::uint64_t base, std::uint64_t overall_total,
                                   HashProgress progress);

}  // namespace tovra
