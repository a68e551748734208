#pragma once
// Independent readers for what the package tool writes: OpenSSL signature checks from the public
// key record alone, and tar.zst decoding through zstd and libarchive.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/json.h"

namespace tovra::testing {

// Verifies `signature` (raw bytes) over `message` using only the key record's public form.
bool verify_with_record(const Json& record, std::string_view message, std::string_view signature);

struct ArchivedEntry {
  unsigned type = 0;  // AE_IF* bits
  unsigned perm = 0;
  std::int64_t size = -1;
  std::string data;
  std::string symlink, hardlink;
  int xattrs = 0;
  int sparse = 0;
};

// Decodes one zstd frame (with a 64 MiB window at most) and lists the tar entries in order.
std::string zstd_decode(std::string_view frame);
std::vector<std::pair<std::string, ArchivedEntry>> read_tar(std::string_view tar);

}  // namespace tovra::testing
