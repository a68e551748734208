#include "builder/inspect.h"

#include <memory>
#include <stdexcept>

#include <archive.h>
#include <archive_entry.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <zstd.h>

#include "core/digest.h"

namespace tovra::testing {

namespace {

template <auto Free>
struct Deleter {
  template <typename T>
  void operator()(T* pointer) const noexcept {
    Free(pointer);
  }
};

}  // namespace

bool verify_with_record(const Json& record, std::string_view message, std::string_view signature) {
  const std::string scheme = record.at("scheme");
  const std::string public_text = record.at("keyval").at("public");
  std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>> key;
  const char* digest = nullptr;
  if (scheme == "ed25519") {
    const std::string raw = from_hex(public_text, 64);
    key.reset(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                          reinterpret_cast<const unsigned char*>(raw.data()), raw.size()));
  } else {
    std::unique_ptr<BIO, Deleter<BIO_free>> bio(BIO_new_mem_buf(public_text.data(), static_cast<int>(public_text.size())));
    key.reset(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    const std::string bits = scheme.substr(scheme.size() - 3);
    digest = bits == "256" ? "SHA256" : bits == "384" ? "SHA384" : bits == "521" || bits == "512" ? "SHA512" : nullptr;
  }
  if (!key) return false;
  std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>> context(EVP_MD_CTX_new());
  EVP_PKEY_CTX* key_context = nullptr;
  if (EVP_DigestVerifyInit_ex(context.get(), &key_context, digest, nullptr, nullptr, key.get(), nullptr) != 1) {
    return false;
  }
  if (scheme.rfind("rsassa-pss-", 0) == 0) {
    // The salt is as long as the digest; an explicit length catches any other choice.
    const int salt = EVP_MD_get_size(EVP_get_digestbyname(digest));
    if (EVP_PKEY_CTX_set_rsa_padding(key_context, RSA_PKCS1_PSS_PADDING) != 1 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md_name(key_context, digest, nullptr) != 1 ||
        EVP_PKEY_CTX_set_rsa_pss_saltlen(key_context, salt) != 1) {
      return false;
    }
  }
  return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                          reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

std::string zstd_decode(std::string_view frame) {
  std::unique_ptr<ZSTD_DCtx, Deleter<ZSTD_freeDCtx>> context(ZSTD_createDCtx());
  if (ZSTD_isError(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, 26))) throw std::runtime_error("window");
  std::string out;
  std::string buffer(65536, '\0');
  ZSTD_inBuffer input{frame.data(), frame.size(), 0};
  std::size_t result = 1;
  while (result != 0) {
    ZSTD_outBuffer output{buffer.data(), buffer.size(), 0};
    result = ZSTD_decompressStream(context.get(), &output, &input);
    if (ZSTD_isError(result)) throw std::runtime_error(ZSTD_getErrorName(result));
    out.append(buffer.data(), output.pos);
    if (result != 0 && input.pos == input.size && output.pos == 0) throw std::runtime_error("truncated frame");
  }
  if (input.pos != input.size) throw std::runtime_error("bytes after the frame");
  return out;
}

std::vector<std::pair<std::string, ArchivedEntry>> read_tar(std::string_view tar) {
  std::unique_ptr<archive, Deleter<archive_read_free>> reader(archive_read_new());
  archive_read_support_format_tar(reader.get());
  archive_read_support_filter_none(reader.get());
  if (archive_read_open_memory(reader.get(), tar.data(), tar.size()) != ARCHIVE_OK) throw std::runtime_error("open");
  std::vector<std::pair<std::string, ArchivedEntry>> entries;
  archive_entry* header = nullptr;
  int result = ARCHIVE_OK;
  while ((result = archive_read_next_header(reader.get(), &header)) == ARCHIVE_OK) {
    ArchivedEntry entry;
    entry.type = archive_entry_filetype(header);
    entry.perm = archive_entry_perm(header);
    entry.size = archive_entry_size_is_set(header) ? archive_entry_size(header) : -1;
    if (const char* link = archive_entry_symlink(header)) entry.symlink = link;
    if (const char* link = archive_entry_hardlink(header)) entry.hardlink = link;
    entry.xattrs = archive_entry_xattr_count(header);
    entry.sparse = archive_entry_sparse_count(header);
    char buffer[4096];
    la_ssize_t read = 0;
    while ((read = archive_read_data(reader.get(), buffer, sizeof buffer)) > 0) {
      entry.data.append(buffer, static_cast<std::size_t>(read));
    }
    if (read < 0) throw std::runtime_error("data");
    entries.emplace_back(archive_entry_pathname(header), std::move(entry));
  }
  if (result != ARCHIVE_EOF) throw std::runtime_error("header");
  return entries;
}

}  // namespace tovra::testing
