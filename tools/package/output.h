#pragma once
// Output discipline of the package tool: nothing appears at a destination until it is complete.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace tovra::builder {

std::string read_whole_file(const std::filesystem::path& path, std::uintmax_t limit);

// Writes a sibling temporary file and renames it into place; refuses an existing destination.
void publish_file(const std::filesystem::path& path, std::string_view bytes, bool owner_only);

// A temporary sibling folder that is renamed onto its destination by commit() and removed,
// with everything in it, if it is never committed.
class StagedFolder {
 public:
  // The destination may be absent or an empty folder; anything else is refused.
  explicit StagedFolder(std::filesystem::path destination);
  ~StagedFolder();
  StagedFolder(const StagedFolder&) = delete;
  StagedFolder& operator=(const StagedFolder&) = delete;

  const std::filesystem::path& path() const { return staging_; }
  void write(std::string_view name, std::string_view bytes) const;
  void commit();

 private:
  std::filesystem::path destination_;
  std::filesystem::path staging_;
  bool committed_ = false;
};

}  // namespace tovra::builder
