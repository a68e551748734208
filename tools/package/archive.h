#pragma once
// tar.zst-v1 pieces: a tar stream written by libarchive, then one Zstandard frame. Entries and
// frame options are open so tests can make archives the installer must refuse.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tovra::builder {

enum class TarType { file, directory, symlink, hardlink, fifo };
enum class TarFormat { pax_restricted, ustar, gnu };

struct TarEntry {
  std::string path;  // written byte for byte, whatever it holds
  std::string data;
  unsigned mode = 0644;  // permission bits, set-id and sticky included
  TarType type = TarType::file;
  std::string link;                   // symbolic or hard link target
  std::optional<std::int64_t> size;   // header size when it should differ from data
  std::vector<std::pair<std::int64_t, std::int64_t>> sparse;  // (offset, length) regions
  std::vector<std::pair<std::string, std::string>> xattrs;
};

TarEntry tar_file(std::string path, std::string data, unsigned mode = 0644);
// A directory, link or fifo entry (mode 0755, or 0777 for a symbolic link).
TarEntry tar_special(TarType type, std::string path, std::string link = {});

std::string make_tar(const std::vector<TarEntry>& entries, TarFormat format = TarFormat::pax_restricted);

// The installer decodes with a 64 MiB window (log 26).
inline constexpr int max_window_log = 26;

struct ZstdOptions {
  int level = 19;
  int window_log = 0;  // 0: the level's choice, capped at max_window_log
  // Without a content size the frame is written by streaming, so its header keeps the window
  // asked for (a window_log above the cap only shows in such a frame).
  bool content_size = true;
  bool checksum = true;
};

// One Zstandard frame holding `data`.
std::string zstd_compress(std::string_view data, const ZstdOptions& options = {});

// A skippable frame (magic 0x184D2A50) holding `payload`.
std::string zstd_skippable_frame(std::string_view payload);

}  // namespace tovra::builder
