#include "support/archive_builder.h"

#include <archive.h>
#include <archive_entry.h>
#include <zstd.h>

#include <memory>
#include <stdexcept>

namespace tovra::testing {
namespace {

struct WriterDeleter {
  void operator()(struct archive* writer) const { archive_write_free(writer); }
};
struct EntryDeleter {
  void operator()(struct archive_entry* entry) const { archive_entry_free(entry); }
};
struct ContextDeleter {
  void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("archive builder: ") + what);
}

la_ssize_t append(struct archive*, void* client, const void* buffer, size_t length) {
  static_cast<std::string*>(client)->append(static_cast<const char*>(buffer), length);
  return static_cast<la_ssize_t>(length);
}

}  // namespace

std::string build_tar(const std::vector<TarEntry>& entries) {
  std::string out;
  std::unique_ptr<struct archive, WriterDeleter> writer(archive_write_new());
  check(writer != nullptr, "writer");
  check(archive_write_set_format_pax_restricted(writer.get()) == ARCHIVE_OK, "format");
  check(archive_write_add_filter_none(writer.get()) == ARCHIVE_OK, "filter");
  check(archive_write_open(writer.get(), &out, nullptr, append, nullptr) == ARCHIVE_OK, "open");
  for (const TarEntry& e : entries) {
    std::unique_ptr<struct archive_entry, EntryDeleter> entry(archive_entry_new());
    archive_entry_set_pathname(entry.get(), e.name.c_str());
    archive_entry_set_perm(entry.get(), e.mode);
    archive_entry_set_mtime(entry.get(), 1700000000, 0);
    std::string_view data = e.content;
    switch (e.kind) {
      case TarEntry::Kind::file:
        archive_entry_set_filetype(entry.get(), AE_IFREG);
        if (e.sparse) {
          // A hole of 512 bytes, then the data.
          archive_entry_set_size(entry.get(), static_cast<la_int64_t>(512 + data.size()));
          archive_entry_sparse_add_entry(entry.get(), 512, static_cast<la_int64_t>(data.size()));
        } else {
          archive_entry_set_size(entry.get(), static_cast<la_int64_t>(data.size()));
        }
        break;
      case TarEntry::Kind::directory:
        archive_entry_set_filetype(entry.get(), AE_IFDIR);
        archive_entry_set_size(entry.get(), 0);
        data = {};
        break;
      case TarEntry::Kind::symlink:
        archive_entry_set_filetype(entry.get(), AE_IFLNK);
        archive_entry_set_symlink(entry.get(), e.link.c_str());
        archive_entry_set_size(entry.get(), 0);
        data = {};
        break;
      case TarEntry::Kind::hardlink:
        archive_entry_set_filetype(entry.get(), AE_IFREG);
        archive_entry_set_hardlink(entry.get(), e.link.c_str());
        archive_entry_set_size(entry.get(), 0);
        data = {};
        break;
    }
    check(archive_write_header(writer.get(), entry.get()) == ARCHIVE_OK, "header");
    if (!data.empty())
      check(archive_write_data(writer.get(), data.data(), data.size()) == static_cast<la_ssize_t>(data.size()),
            "data");
  }
  check(archive_write_close(writer.get()) == ARCHIVE_OK, "close");
  return out;
}

std::string zstd_frame(std::string_view data, int window_log) {
  std::unique_ptr<ZSTD_CCtx, ContextDeleter> context(ZSTD_createCCtx());
  check(context != nullptr, "context");
  check(!ZSTD_isError(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, 3)), "level");
  check(!ZSTD_isError(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, window_log)), "window");
  check(!ZSTD_isError(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_contentSizeFlag, 0)), "size flag");
  std::string out;
  std::string buffer(ZSTD_CStreamOutSize(), '\0');
  // Streaming with an unknown size keeps the window descriptor in the header.
  ZSTD_inBuffer input{data.data(), data.size(), 0};
  for (bool done = false; !done;) {
    ZSTD_outBuffer output{buffer.data(), buffer.size(), 0};
    const ZSTD_EndDirective mode = input.pos < input.size ? ZSTD_e_continue : ZSTD_e_end;
    const size_t left = ZSTD_compressStream2(context.get(), &output, &input, mode);
    check(!ZSTD_isError(left), "compress");
    out.append(buffer.data(), output.pos);
    done = mode == ZSTD_e_end && left == 0;
  }
  return out;
}

std::string skippable_frame(std::string_view payload) {
  std::string out("\x50\x2A\x4D\x18", 4);
  const auto size = static_cast<std::uint32_t>(payload.size());
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((size >> shift) & 0xFF));
  out.append(payload);
  return out;
}

void claim_window_log(std::string& frame, int window_log) {
  // Byte 4 is the frame header descriptor; without the single-segment flag byte 5 is the window
  // descriptor, whose exponent is window_log - 10 with a zero mantissa.
  check(frame.size() > 5 && (static_cast<unsigned char>(frame[4]) & 0x20) == 0, "window descriptor");
  frame[5] = static_cast<char>((window_log - 10) << 3);
}

}  // namespace tovra::testing
