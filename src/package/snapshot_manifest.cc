#include "package/snapshot_manifest.h"

#include <set>
#include <string_view>

#include "core/error.h"
#include "core/paths.h"
#include "core/text.h"
#include "package/json_rules.h"

namespace tovra {
namespace {

using package_detail::fold_ascii;

constexpr const char* kPlatforms[] = {"linux-x86_64", "windows-x86_64", "macos-aarch64"};

std::uint64_t non_negative(const Json& value) {
  if (value.is_number_unsigned()) return value.get<std::uint64_t>();
  if (value.is_number_integer() && value.get<std::int64_t>() >= 0) {
    return static_cast<std::uint64_t>(value.get<std::int64_t>());
  }
  throw Error("invalid_manifest", "Manifest length must be a non-negative integer");
}

std::string lower_digest(const Json& value) {
  require(package_detail::is_lower_sha256(value), "invalid_manifest", "Manifest needs a lower-case SHA-256 digest");
  return value.get<std::string>();
}

bool known_platform(std::string_view platform) {
  for (const char* name : kPlatforms) {
    if (platform == name) return true;
  }
  return false;
}

SnapshotManifest parse(const Json& document) {
  // A missing version is a malformed document (the accessor throws), a different one is unsupported.
  require(document.is_object() && package_detail::integer_equals(document.at("schema_version"), 1),
          "unsupported_schema", "Unsupported snapshot schema; nothing was rewritten");
  SnapshotManifest manifest;
  manifest.build_id = document.at("build_id").get<std::string>();
  check_identifier(manifest.build_id);
  manifest.platform = document.at("platform").get<std::string>();
  require(known_platform(manifest.platform), "invalid_manifest", "Unknown snapshot platform");
  manifest.executable = document.at("executable").get<std::string>();
  check_relative_path(manifest.executable, true);

  const Json& archive = document.at("archive");
  require(archive.at("format") == "tar.zst-v1", "invalid_manifest", "Unsupported snapshot format");
  manifest.target = archive.at("target").get<std::string>();
  check_relative_path(manifest.target, true);
  manifest.length = non_negative(archive.at("length"));
  manifest.sha256 = lower_digest(archive.at("sha256"));
  // Wraps 0 to the top of the range, so one comparison refuses both ends.
  require(manifest.length - 1 <= max_snapshot_bytes - 1, "size_limit", "Snapshot exceeds archive size bounds");

  const Json& files = document.at("files");
  require(files.is_array() && !files.empty() && files.size() <= max_snapshot_files, "size_limit",
          "Package file count exceeds bounds");

  std::set<std::string> folded_paths;
  std::map<std::string, std::string> first_spelling;  // folded prefix -> prefix as first seen
  std::uint64_t sum = 0;
  for (const Json& entry : files) {
    std::string path = entry.at("path").get<std::string>();
    check_relative_path(path, true);
    for (unsigned char c : path) {
      require(c >= 0x20 && c <= 0x7E, "invalid_manifest", "The v1 package profile requires ASCII file paths");
    }
    require(folded_paths.insert(fold_ascii(path)).second, "path_collision",
            "Package contains duplicate or case-colliding paths");
    for (std::size_t end = path.find('/');; end = path.find('/', end + 1)) {
      const std::string prefix = path.substr(0, end);
      const auto [spot, added] = first_spelling.emplace(fold_ascii(prefix), prefix);
      require(added || spot->second == prefix, "path_collision", "Package directories differ only in case");
      if (end == std::string::npos) break;
    }
    const std::uint64_t length = non_negative(entry.at("length"));
    require(max_snapshot_bytes - sum >= length, "size_limit", "Expanded package exceeds size bounds");
    sum += length;
    const Json& mode_value = entry.at("mode");
    require(mode_value.is_number_integer(), "invalid_manifest", "Snapshot manifest has missing or malformed fields");
    const auto mode = mode_value.get<std::uint64_t>();
    require(mode == 420 || mode == 493, "invalid_manifest", "Package modes must be 0644 or 0755");
    SnapshotFile file{length, lower_digest(entry.at("sha256")), mode == 493};
    manifest.files.emplace(std::move(path), std::move(file));
  }

  for (const auto& [path, file] : manifest.files) {
    for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
      require(!manifest.files.contains(path.substr(0, slash)), "path_collision",
              "Package file is another file's parent directory");
    }
  }
  const auto entry = manifest.files.find(manifest.executable);
  require(entry != manifest.files.end() && entry->second.executable, "invalid_manifest",
          "Declared executable is missing or not executable");
  require(non_negative(document.at("expanded_length")) == sum, "invalid_manifest",
          "Expanded length differs from file inventory");
  manifest.expanded_length = sum;
  manifest.document = document;
  return manifest;
}

}  // namespace

SnapshotManifest parse_snapshot_manifest(const Json& document) {
  try {
    return parse(document);
  } catch (const Json::exception&) {
    throw Error("invalid_manifest", "Snapshot manifest has missing or malformed fields");
  }
}

std::size_t longest_path_length(const SnapshotManifest& manifest) {
  std::size_t longest = 0;
  for (const auto& [path, file] : manifest.files) {
    const std::size_t length = utf16_length(utf8_path(native_path(path)));
    if (length > longest) longest = length;
  }
  return longest;
}

}  // namespace tovra
