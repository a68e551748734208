#include "builder/inspect.h"

#include <memory>
#include <stdexcept>

#include <archive.h>
#include <archive_entry.h>
#include <zstd.h>

namespace tovra::testing {

std::string zstd_decode(std::string_view frame) {
  const unsigned long long size = ZSTD_getFrameContentSize(frame.data(), frame.size());
  if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN) throw std::runtime_error("frame size");
  std::string out(size, '\0');
  const std::size_t result = ZSTD_decompress(out.data(), out.size(), frame.data(), frame.size());
  if (ZSTD_isError(result) || result != size) throw std::runtime_error("frame");
  return out;
}

std::vector<std::pair<std::string, ArchivedEntry>> read_tar(std::string_view tar) {
  using Reader = std::unique_ptr<archive, decltype(&archive_read_free)>;
  const Reader reader(archive_read_new(), &archive_read_free);
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
