#include "package/output.h"

#include <fstream>
#include <system_error>

#include "core/digest.h"
#include "core/error.h"

namespace tovra::builder {

namespace fs = std::filesystem;

namespace {

void write_bytes(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  require(static_cast<bool>(out), "output", "Cannot create " + path.string());
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  require(static_cast<bool>(out), "output", "Cannot write " + path.string());
}

fs::path sibling(const fs::path& destination) {
  fs::path parent = destination.parent_path();
  if (parent.empty()) parent = ".";
  return parent / ("." + destination.filename().string() + ".tmp-" + random_identifier());
}

}  // namespace

std::string read_whole_file(const fs::path& path, std::uintmax_t limit) {
  std::error_code ec;
  const auto status = fs::symlink_status(path, ec);
  require(!ec && fs::is_regular_file(status), "input", "Not a plain file: " + path.string());
  const auto size = fs::file_size(path, ec);
  require(!ec, "input", "Cannot read " + path.string());
  require(size <= limit, "input", "File is too large: " + path.string());
  std::ifstream in(path, std::ios::binary);
  require(static_cast<bool>(in), "input", "Cannot open " + path.string());
  std::string bytes(static_cast<std::size_t>(size), '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  require(in.gcount() == static_cast<std::streamsize>(bytes.size()) && in.peek() == std::char_traits<char>::eof(),
          "input", "File changed while reading: " + path.string());
  return bytes;
}

void publish_file(const fs::path& path, std::string_view bytes, bool owner_only) {
  std::error_code ec;
  require(!fs::exists(fs::symlink_status(path, ec)), "output", "Refusing to replace " + path.string());
  const fs::path temporary = sibling(path);
  try {
    write_bytes(temporary, bytes);
    if (owner_only) fs::permissions(temporary, fs::perms::owner_read | fs::perms::owner_write);
    fs::rename(temporary, path);
  } catch (...) {
    fs::remove(temporary, ec);
    throw;
  }
}

StagedFolder::StagedFolder(fs::path destination) : destination_(std::move(destination)) {
  std::error_code ec;
  const auto status = fs::symlink_status(destination_, ec);
  if (fs::exists(status)) {
    require(fs::is_directory(status) && fs::is_empty(destination_, ec) && !ec, "output",
            "Output folder exists and is not empty: " + destination_.string());
  }
  staging_ = sibling(destination_);
  require(fs::create_directory(staging_, ec) && !ec, "output", "Cannot create " + staging_.string());
}

StagedFolder::~StagedFolder() {
  if (committed_) return;
  std::error_code ec;
  fs::remove_all(staging_, ec);
}

void StagedFolder::write(std::string_view name, std::string_view bytes) const {
  const fs::path path = staging_ / name;
  require(!fs::exists(fs::symlink_status(path)), "output", "Two package files are named " + std::string(name));
  write_bytes(path, bytes);
}

void StagedFolder::commit() {
  std::error_code ec;
  if (fs::exists(fs::symlink_status(destination_, ec))) {
    // Only an empty folder gets here; remove() refuses anything else.
    fs::remove(destination_, ec);
    require(!ec, "output", "Cannot replace " + destination_.string());
  }
  fs::rename(staging_, destination_, ec);
  require(!ec, "output", "Cannot move the package into " + destination_.string());
  committed_ = true;
}

}  // namespace tovra::builder
