#include "package/output.h"

#include <fstream>
#include <system_error>

#include "core/digest.h"
#include "core/error.h"
#include "core/paths.h"

namespace tovra::builder {

namespace fs = std::filesystem;

namespace {

void write_bytes(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  require(static_cast<bool>(out), "output", "Cannot create " + utf8_path(path));
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  require(static_cast<bool>(out), "output", "Cannot write " + utf8_path(path));
}

fs::path sibling(const fs::path& destination) {
  fs::path parent = destination.parent_path();
  if (parent.empty()) parent = ".";
  return parent / native_path("." + utf8_path(destination.filename()) + ".tmp-" + random_identifier());
}

}  // namespace

std::string read_whole_file(const fs::path& path, std::uintmax_t limit) {
  std::error_code ec;
  const auto status = fs::symlink_status(path, ec);
  require(!ec && fs::is_regular_file(status), "input", "Not a plain file: " + utf8_path(path));
  const auto size = fs::file_size(path, ec);
  require(!ec, "input", "Cannot read " + utf8_path(path));
  require(size <= limit, "input", "File is too large: " + utf8_path(path));
  std::ifstream in(path, std::ios::binary);
  require(static_cast<bool>(in), "input", "Cannot open " + utf8_path(path));
  std::string bytes(static_cast<std::size_t>(size), '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  require(in.gcount() == static_cast<std::streamsize>(bytes.size()) && in.peek() == std::char_traits<char>::eof(),
          "input", "File changed while reading: " + utf8_path(path));
  return bytes;
}

void publish_file(const fs::path& path, std::string_view bytes, bool owner_only) {
  std::error_code ec;
  require(!fs::exists(fs::symlink_status(path, ec)), "output", "Refusing to replace " + utf8_path(path));
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
            "Output folder exists and is not empty: " + utf8_path(destination_));
  }
  staging_ = sibling(destination_);
  require(fs::create_directory(staging_, ec) && !ec, "output", "Cannot create " + utf8_path(staging_));
}

StagedFolder::~StagedFolder() {
  if (committed_) return;
  std::error_code ec;
  fs::remove_all(staging_, ec);
}

void StagedFolder::write(std::string_view name, std::string_view bytes) const {
  const fs::path path = staging_ / native_path(name);
  require(!fs::exists(fs::symlink_status(path)), "output", "Two package files are named " + std::string(name));
  write_bytes(path, bytes);
}

void StagedFolder::commit() {
  std::error_code ec;
  if (fs::exists(fs::symlink_status(destination_, ec))) {
    // Only an empty folder gets here; remove() refuses anything else.
    fs::remove(destination_, ec);
    require(!ec, "output", "Cannot replace " + utf8_path(destination_));
  }
  fs::rename(staging_, destination_, ec);
  require(!ec, "output", "Cannot move the package into " + utf8_path(destination_));
  committed_ = true;
}

}  // namespace tovra::builder
