#include "package/snapshot.h"

#include <system_error>

#include "core/digest.h"
#include "core/error.h"
#include "core/paths.h"
#include "package/output.h"

namespace tovra::builder {

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t max_payload_files = 100000;

void put16(std::string& image, std::size_t at, std::uint16_t value) {
  image[at] = static_cast<char>(value & 0xFF);
  image[at + 1] = static_cast<char>(value >> 8);
}

void put32(std::string& image, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) image[at + static_cast<std::size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

}  // namespace

Payload read_payload_folder(const fs::path& folder) {
  std::error_code ec;
  require(fs::is_directory(fs::symlink_status(folder, ec)), "input", "Not a folder: " + utf8_path(folder));
  Payload payload;
  std::uint64_t total = 0;
  fs::recursive_directory_iterator walk(folder, fs::directory_options::none, ec);
  require(!ec, "input", "Cannot list " + utf8_path(folder));
  for (; walk != fs::recursive_directory_iterator(); walk.increment(ec)) {
    require(!ec, "input", "Cannot list " + utf8_path(folder));
    const fs::path path = walk->path();
    const auto status = fs::symlink_status(path, ec);
    require(!ec, "input", "Cannot inspect " + utf8_path(path));
    if (fs::is_directory(status)) continue;
    require(fs::is_regular_file(status), "input", "Snapshots hold only plain files: " + utf8_path(path));
    require(payload.size() < max_payload_files, "input", "Too many files in " + utf8_path(folder));
    const auto size = fs::file_size(path, ec);
    require(!ec, "input", "Cannot inspect " + utf8_path(path));
    require(size <= max_payload_bytes - total, "input", "Payload exceeds 1 GiB: " + utf8_path(folder));
    total += size;
    PayloadFile file;
    file.content = read_whole_file(path, max_payload_bytes);
    file.executable = (status.permissions() & fs::perms::owner_exec) != fs::perms::none;
    payload.emplace(utf8_generic_path(path.lexically_relative(folder)), std::move(file));
  }
  require(!payload.empty(), "input", "No files in " + utf8_path(folder));
  return payload;
}

std::vector<TarEntry> payload_tar_entries(const Payload& payload) {
  std::vector<TarEntry> entries;
  entries.reserve(payload.size());
  for (const auto& [path, file] : payload) {
    entries.push_back(tar_file(path, file.content, file.executable ? 0755 : 0644));
  }
  return entries;
}

Json snapshot_manifest(const Payload& payload, const SnapshotOptions& options, std::string_view archive) {
  Json files = Json::array();
  std::uint64_t expanded = 0;
  for (const auto& [path, file] : payload) {
    expanded += file.content.size();
    files.push_back(Json{{"path", path},
                         {"length", file.content.size()},
                         {"mode", file.executable ? 493 : 420},
                         {"sha256", digest_hex(file.content, "sha256")}});
  }
  Json manifest = options.release_fields.is_object() ? options.release_fields : Json::object();
  manifest["schema_version"] = 1;
  manifest["build_id"] = options.build_id;
  manifest["platform"] = options.platform;
  manifest["executable"] = options.executable;
  manifest["archive"] = Json{{"format", "tar.zst-v1"},
                             {"target", options.target},
                             {"length", archive.size()},
                             {"sha256", digest_hex(archive, "sha256")}};
  manifest["files"] = std::move(files);
  manifest["expanded_length"] = expanded;
  return manifest;
}

PackedSnapshot pack_snapshot(const Payload& payload, const SnapshotOptions& options) {
  require(!options.target.empty(), "usage", "A snapshot needs an archive name");
  std::string tar = make_tar(options.tar_entries ? *options.tar_entries : payload_tar_entries(payload),
                             options.tar_format);
  if (options.edit_tar) options.edit_tar(tar);
  PackedSnapshot packed;
  packed.archive = zstd_compress(tar, options.zstd);
  packed.manifest = snapshot_manifest(payload, options, packed.archive);
  if (options.edit_manifest) options.edit_manifest(packed.manifest);
  return packed;
}

Json bootstrap_release_fields(const std::string& gui_executable) {
  Json fields{{"kind", "tovra-bootstrap-release"}, {"bootstrap_abi", 1}};
  if (!gui_executable.empty()) fields["gui_executable"] = gui_executable;
  return fields;
}

Json launcher_release_fields(const std::string& gui_executable, const std::vector<RuntimeHelper>& helpers) {
  Json helper_list = Json::array();
  for (const RuntimeHelper& helper : helpers) {
    helper_list.push_back(Json{{"path", helper.path}, {"role", helper.role}, {"lease_abi", 1}});
  }
  return Json{{"kind", "tovra-launcher-release"},
              {"bootstrap_abi", 1},
              {"health_abi", 1},
              {"application_schema", Json{{"minimum", 1}, {"maximum", 1}}},
              {"runtime_lease_abi", 2},
              {"staging_abi", 1},
              {"console_interrupt_abi", 1},
              {"gui_executable", gui_executable},
              {"runtime_helpers", helper_list}};
}

std::string pe_image_stub(bool windowed, std::string_view tail) {
  constexpr std::size_t pe = 64;
  std::string image(pe + 24 + 240, '\0');  // DOS header, COFF header, PE32+ optional header
  image[0] = 'M';
  image[1] = 'Z';
  put32(image, 60, pe);
  put32(image, pe, 0x00004550);
  put16(image, pe + 4, 0x8664);       // AMD64
  put16(image, pe + 20, 240);         // optional header size
  put16(image, pe + 22, 0x0002 | 0x0020);  // executable, large-address aware
  put16(image, pe + 24, 0x20B);       // PE32+
  put16(image, pe + 92, windowed ? 2 : 3);
  image.append(tail);
  return image;
}

}  // namespace tovra::builder
