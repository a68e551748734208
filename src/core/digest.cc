#include "core/digest.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>
#include <mutex>
#include <vector>

#include "core/error.h"
#include "core/paths.h"
#include "platform/read_file.h"

namespace tovra {
namespace {

constexpr std::size_t kHashChunk = 65536;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void initialize_crypto() {
  static std::once_flag once;
  static bool initialized = false;
  std::call_once(once, [] { initialized = OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) == 1; });
  require(initialized, "crypto_failure", "Cannot initialize native cryptography");
}

const evp_md_st* digest_algorithm(std::string_view name) {
  if (name == "sha256") return EVP_sha256();
  if (name == "sha512") return EVP_sha512();
  throw Error("unsupported_hash", "Only SHA-256 and SHA-512 hashes are supported");
}

std::string digest_hex(std::string_view bytes, std::string_view algorithm) {
  const EVP_MD* md = digest_algorithm(algorithm);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  require(EVP_Digest(bytes.data(), bytes.size(), digest, &length, md, nullptr) == 1, "crypto_failure",
          "Could not hash content");
  return to_hex(std::string_view(reinterpret_cast<const char*>(digest), length));
}

std::string to_hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

std::string from_hex(std::string_view text, std::size_t maximum) {
  require(text.size() % 2 == 0 && text.size() <= maximum, "invalid_hex", "Invalid hexadecimal data");
  std::string bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = hex_value(text[i]);
    const int low = hex_value(text[i + 1]);
    require(high >= 0 && low >= 0, "invalid_hex", "Invalid hexadecimal character");
    bytes.push_back(static_cast<char>((high << 4) | low));
  }
  return bytes;
}

std::string random_identifier() {
  unsigned char bytes[16];
  require(RAND_bytes(bytes, sizeof bytes) == 1, "crypto_failure", "Could not create random identifier");
  return to_hex(std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes));
}

void StreamingDigest::Free::operator()(evp_md_ctx_st* context) const { EVP_MD_CTX_free(context); }

StreamingDigest::StreamingDigest(std::string_view algorithm) : context_(EVP_MD_CTX_new()) {
  require(context_ && EVP_DigestInit_ex(context_.get(), digest_algorithm(algorithm), nullptr) == 1, "crypto_failure",
          "Could not initialize file hash");
}

void StreamingDigest::update(const char* data, std::size_t size) {
  require(EVP_DigestUpdate(context_.get(), data, size) == 1, "crypto_failure", "Could not hash file");
}

std::string StreamingDigest::finish_hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  require(EVP_DigestFinal_ex(context_.get(), digest, &length) == 1, "crypto_failure", "Could not finish file hash");
  return to_hex(std::string_view(reinterpret_cast<const char*>(digest), length));
}

namespace {

// Nothing when `expected` is given and the file's size, or what could be read of it, differs.
std::optional<std::string> digest_file(const std::filesystem::path& path, std::string_view algorithm,
                                       const HashProgress& progress, std::optional<std::uint64_t> expected) {
  ReadOnlyFile file = ReadOnlyFile::open(path);
  require(file.is_open(), "file_read", "Could not open file for verification: " + utf8_path(path));
  // A FIFO or a device never ends, or changes, while it is hashed.
  const auto size = file.ordinary_size();
  require(size.has_value(), "unsafe_path", "Expected an ordinary file: " + utf8_path(path));
  if (expected && *size != *expected) return std::nullopt;

  StreamingDigest digest(algorithm);
  const std::uint64_t total = *size;
  std::uint64_t done = 0;
  const auto report = [&] {
    if (progress) require(progress(done, total), "cancelled", "File verification cancelled");
  };
  report();

  std::vector<char> buffer(kHashChunk + 1);
  for (;;) {
    // At the expected end one byte more is asked for: a read that falls short is the end of an
    // ordinary file, so a file of the size it had when opened needs no further read to find it.
    const std::uint64_t left = done < total ? total - done : 0;
    const std::size_t want = left <= kHashChunk ? static_cast<std::size_t>(left) + 1 : kHashChunk;
    const auto count = file.read(buffer.data(), want);
    require(count.has_value(), "file_read", "Error reading file during verification");
    digest.update(buffer.data(), *count);
    done += *count;
    require(!progress || done <= total, "content_mismatch", "File grew beyond its verification bound");
    report();
    if (*count < want) break;
  }
  if (expected && done != *expected) return std::nullopt;
  return digest.finish_hex();
}

}  // namespace

std::string hash_file(const std::filesystem::path& path, std::string_view algorithm, const HashProgress& progress) {
  return *digest_file(path, algorithm, progress, std::nullopt);
}

std::optional<std::string> hash_file_of_length(const std::filesystem::path& path, std::string_view algorithm,
                                               std::uint64_t length, const HashProgress& progress) {
  return digest_file(path, algorithm, progress, length);
}

HashProgress declared_length_guard(std::uint64_t declared, std::uint64_t base, std::uint64_t overall_total,
                                   HashProgress progress) {
  return [=, progress = std::move(progress)](std::uint64_t done, std::uint64_t total) {
    require(total == declared && done <= declared, "content_mismatch",
            "File changed beyond its declared verification bound");
    return progress ? progress(base + done, overall_total) : true;
  };
}

}  // namespace tovra
