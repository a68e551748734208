#pragma once
// Test helpers: a private temporary folder removed on destruction, and small file utilities.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/paths.h"

namespace tovra::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / native_path(name); }

 private:
  std::filesystem::path path_;
};

void write_file(const std::filesystem::path& path, std::string_view bytes);
std::string read_file(const std::filesystem::path& path);
// The names in `folder`, sorted, so a leftover file shows up in a failure message.
std::vector<std::string> names_in(const std::filesystem::path& folder);

}  // namespace tovra::testing
