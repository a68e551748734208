#pragma once
// Test archives made without the package builder: tar streams from libarchive's writer, and
// Zstandard frames made directly, so hostile shapes can be produced on purpose.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovra::testing {

struct TarEntry {
  enum class Kind { file, directory, symlink, hardlink };
  std::string name;
  std::string content;
  unsigned mode = 0644;
  Kind kind = Kind::file;
  std::string link;    // target of a symbolic or hard link
  bool sparse = false;  // declare one hole before the data
};

// A pax tar stream holding the entries in order, with the end-of-archive records.
std::string build_tar(const std::vector<TarEntry>& entries);

// One Zstandard frame that records its window size (no content size, no single-segment flag).
std::string zstd_frame(std::string_view data, int window_log = 20);

// A skippable frame carrying `payload`.
std::string skippable_frame(std::string_view payload);

// Rewrites the window descriptor of a frame made by zstd_frame to claim 2^window_log bytes.
void claim_window_log(std::string& frame, int window_log);

}  // namespace tovra::testing
