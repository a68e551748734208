#pragma once
// Independent readers for what the package tool writes: tar.zst decoding through zstd and
// libarchive.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/test_util.h"

namespace tovra::testing {

struct ArchivedEntry {
  unsigned type = 0;  // AE_IF* bits
  unsigned perm = 0;
  std::string data;
  std::string symlink, hardlink;
};

// Decodes one zstd frame that declares its size, and lists the tar entries in order.
std::string zstd_decode(std::string_view frame);
std::vector<std::pair<std::string, ArchivedEntry>> read_tar(std::string_view tar);

}  // namespace tovra::testing
