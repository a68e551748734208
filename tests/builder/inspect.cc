#include "builder/inspect.h"

#include <memory>
#include <stdexcept>

#include <archive.h>
#include <archive_entry.h>
#include <zstd.h>

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
    if (const char* link = archive_entry_symlink(header)) entry.symlink = link;
    if (const char* link = archive_entry_hardlink(header)) entry.hardlink = link;
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
