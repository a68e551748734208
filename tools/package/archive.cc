#include "package/archive.h"

#include <algorithm>
#include <memory>

#include <archive.h>
#include <archive_entry.h>
#include <zstd.h>

#include "core/error.h"

namespace tovra::builder {

namespace {

struct ArchiveFree {
  void operator()(archive* writer) const noexcept { archive_write_free(writer); }
};
struct EntryFree {
  void operator()(archive_entry* entry) const noexcept { archive_entry_free(entry); }
};
struct CctxFree {
  void operator()(ZSTD_CCtx* context) const noexcept { ZSTD_freeCCtx(context); }
};
using CctxPtr = std::unique_ptr<ZSTD_CCtx, CctxFree>;

la_ssize_t append_block(archive*, void* client, const void* buffer, size_t length) {
  static_cast<std::string*>(client)->append(static_cast<const char*>(buffer), length);
  return static_cast<la_ssize_t>(length);
}

unsigned type_bits(TarType type) {
  switch (type) {
    case TarType::file:
    case TarType::hardlink:
      return AE_IFREG;
    case TarType::directory:
      return AE_IFDIR;
    case TarType::symlink:
      return AE_IFLNK;
    case TarType::fifo:
      return AE_IFIFO;
  }
  return AE_IFREG;
}

void check(archive* writer, int result, const std::string& what) {
  if (result >= ARCHIVE_WARN) return;
  const char* detail = archive_error_string(writer);
  throw Error("archive", what + (detail != nullptr ? ": " + std::string(detail) : std::string()));
}

void set_parameter(ZSTD_CCtx* context, ZSTD_cParameter parameter, int value) {
  require(!ZSTD_isError(ZSTD_CCtx_setParameter(context, parameter, value)), "archive",
          "Zstandard refused a compression parameter");
}

}  // namespace

TarEntry tar_file(std::string path, std::string data, unsigned mode) {
  TarEntry entry;
  entry.path = std::move(path);
  entry.data = std::move(data);
  entry.mode = mode;
  return entry;
}

TarEntry tar_special(TarType type, std::string path, std::string link) {
  TarEntry entry;
  entry.path = std::move(path);
  entry.type = type;
  entry.link = std::move(link);
  entry.mode = type == TarType::symlink ? 0777 : 0755;
  return entry;
}

std::string make_tar(const std::vector<TarEntry>& entries, TarFormat format) {
  std::unique_ptr<archive, ArchiveFree> writer(archive_write_new());
  require(writer != nullptr, "archive", "Cannot allocate the tar writer");
  archive* a = writer.get();
  switch (format) {
    case TarFormat::pax_restricted:
      check(a, archive_write_set_format_pax_restricted(a), "Cannot choose the tar format");
      break;
    case TarFormat::ustar:
      check(a, archive_write_set_format_ustar(a), "Cannot choose the tar format");
      break;
    case TarFormat::gnu:
      check(a, archive_write_set_format_gnutar(a), "Cannot choose the tar format");
      break;
  }
  check(a, archive_write_add_filter_none(a), "Cannot choose the tar filter");
  // No padding to whole 10 KiB blocks: the stream ends with its two end records.
  check(a, archive_write_set_bytes_in_last_block(a, 1), "Cannot set the tar block size");
  std::string out;
  check(a, archive_write_open(a, &out, nullptr, append_block, nullptr), "Cannot open the tar writer");
  for (const TarEntry& item : entries) {
    std::unique_ptr<archive_entry, EntryFree> entry(archive_entry_new());
    require(entry != nullptr, "archive", "Cannot allocate a tar entry");
    archive_entry* e = entry.get();
    archive_entry_copy_pathname(e, item.path.c_str());
    archive_entry_set_filetype(e, type_bits(item.type));
    archive_entry_set_perm(e, static_cast<mode_t>(item.mode & 07777));
    archive_entry_set_mtime(e, 0, 0);
    if (item.type == TarType::symlink) archive_entry_copy_symlink(e, item.link.c_str());
    if (item.type == TarType::hardlink) archive_entry_copy_hardlink(e, item.link.c_str());
    const bool has_data = item.type == TarType::file || item.type == TarType::hardlink;
    const std::int64_t size = item.size.value_or(has_data ? static_cast<std::int64_t>(item.data.size()) : 0);
    archive_entry_set_size(e, size);
    for (const auto& [offset, length] : item.sparse) archive_entry_sparse_add_entry(e, offset, length);
    for (const auto& [name, value] : item.xattrs) {
      archive_entry_xattr_add_entry(e, name.c_str(), value.data(), value.size());
    }
    check(a, archive_write_header(a, e), "Cannot write the tar header of " + item.path);
    if (has_data && !item.data.empty() && size > 0) {
      const std::size_t length = std::min(item.data.size(), static_cast<std::size_t>(size));
      require(archive_write_data(a, item.data.data(), length) >= 0, "archive",
              "Cannot write the tar data of " + item.path);
    }
    check(a, archive_write_finish_entry(a), "Cannot finish the tar entry " + item.path);
  }
  check(a, archive_write_close(a), "Cannot finish the tar stream");
  return out;
}

std::string zstd_compress(std::string_view data, const ZstdOptions& options) {
  CctxPtr context(ZSTD_createCCtx());
  require(context != nullptr, "archive", "Cannot allocate the Zstandard encoder");
  ZSTD_CCtx* c = context.get();
  set_parameter(c, ZSTD_c_compressionLevel, options.level);
  set_parameter(c, ZSTD_c_checksumFlag, options.checksum ? 1 : 0);
  set_parameter(c, ZSTD_c_contentSizeFlag, options.content_size ? 1 : 0);
  // Levels up to 19 never choose a window above 8 MiB; the ultra levels go up to 128 MiB.
  if (options.window_log != 0) {
    set_parameter(c, ZSTD_c_windowLog, options.window_log);
  } else if (options.level > 19) {
    set_parameter(c, ZSTD_c_windowLog, max_window_log);
  }

  std::string out;
  if (options.content_size) {
    out.resize(ZSTD_compressBound(data.size()));
    const std::size_t written = ZSTD_compress2(c, out.data(), out.size(), data.data(), data.size());
    require(!ZSTD_isError(written), "archive", "Zstandard compression failed");
    out.resize(written);
    return out;
  }
  // Fed in pieces so the encoder never learns the size and keeps the requested window.
  std::string buffer(ZSTD_CStreamOutSize(), '\0');
  ZSTD_inBuffer input{data.data(), data.size(), 0};
  const std::size_t piece = ZSTD_CStreamInSize();
  while (input.pos < data.size()) {
    ZSTD_inBuffer part{data.data(), std::min(data.size(), input.pos + piece), input.pos};
    while (part.pos < part.size) {
      ZSTD_outBuffer output{buffer.data(), buffer.size(), 0};
      require(!ZSTD_isError(ZSTD_compressStream2(c, &output, &part, ZSTD_e_continue)), "archive",
              "Zstandard compression failed");
      out.append(buffer.data(), output.pos);
    }
    input.pos = part.pos;
  }
  ZSTD_inBuffer empty{nullptr, 0, 0};
  std::size_t remaining = 1;
  while (remaining != 0) {
    ZSTD_outBuffer output{buffer.data(), buffer.size(), 0};
    remaining = ZSTD_compressStream2(c, &output, &empty, ZSTD_e_end);
    require(!ZSTD_isError(remaining), "archive", "Zstandard compression failed");
    out.append(buffer.data(), output.pos);
  }
  return out;
}

std::string zstd_skippable_frame(std::string_view payload) {
  require(payload.size() <= 0xFFFFFFFFu, "archive", "Skippable frame payload is too large");
  std::string frame("\x50\x2A\x4D\x18", 4);
  const auto length = static_cast<std::uint32_t>(payload.size());
  for (int shift = 0; shift < 32; shift += 8) frame.push_back(static_cast<char>((length >> shift) & 0xFF));
  frame.append(payload);
  return frame;
}

}  // namespace tovra::builder
