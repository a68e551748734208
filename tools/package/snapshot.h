#pragma once
// Packing a payload into a tar.zst-v1 snapshot with its manifest, and the release manifests of
// the bootstrap and the launcher.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/json.h"
#include "package/archive.h"

namespace tovra::builder {

struct PayloadFile {
  std::string content;
  bool executable = false;
};
// Relative path ("/" separators) to file, in ascending byte order as the inventory lists it.
using Payload = std::map<std::string, PayloadFile>;

// Largest payload one snapshot may carry; the installer takes at most 1 GiB for both.
inline constexpr std::uint64_t max_payload_bytes = std::uint64_t{1} << 30;

// Every regular file below `folder`; the owner's execute bit makes a file executable. Links and
// special files are refused, empty folders cannot be expressed and are skipped.
Payload read_payload_folder(const std::filesystem::path& folder);

// The tar entries of a payload: regular files, mode 0755 or 0644, in inventory order.
std::vector<TarEntry> payload_tar_entries(const Payload& payload);

struct SnapshotOptions {
  std::string build_id = "build-1";
  std::string platform = "windows-x86_64";
  std::string executable;
  std::string target;  // the archive's file name in the package
  ZstdOptions zstd;
  TarFormat tar_format = TarFormat::pax_restricted;
  Json release_fields = Json::object();  // kind, contracts and roles merged into the manifest
  // Hooks for inputs the installer must refuse. The manifest always describes the payload's
  // inventory and the archive bytes as finally written.
  std::optional<std::vector<TarEntry>> tar_entries;     // archived instead of the payload
  std::function<void(std::string& tar)> edit_tar;        // before compression
  std::function<void(Json& manifest)> edit_manifest;
};

struct PackedSnapshot {
  std::string archive;
  Json manifest;
};

PackedSnapshot pack_snapshot(const Payload& payload, const SnapshotOptions& options);

// Inventory members of a snapshot manifest for this payload and archive.
Json snapshot_manifest(const Payload& payload, const SnapshotOptions& options, std::string_view archive);

struct RuntimeHelper {
  std::string path;
  std::string role;  // "crash-handler", "maintenance" or "maintenance-gui"
};

// Release keys of a bootstrap; `gui_executable` may be empty (not declared).
Json bootstrap_release_fields(const std::string& gui_executable);
// Release keys of a launcher speaking the current contracts.
Json launcher_release_fields(const std::string& gui_executable, const std::vector<RuntimeHelper>& helpers);

// The smallest image that passes the installer's AMD64 header checks; windowed or console.
std::string pe_image_stub(bool windowed, std::string_view tail = {});

}  // namespace tovra::builder
