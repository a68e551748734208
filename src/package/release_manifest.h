#pragma once
// Bootstrap and launcher release manifests: snapshot manifests that also state the release's
// kind, the binary contracts it speaks and the roles of its executables.

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "core/json.h"
#include "package/snapshot_manifest.h"

namespace tovra {

// A launcher release; usable wherever its snapshot manifest is expected.
struct LauncherManifest : SnapshotManifest {
  std::string gui_executable;
  std::set<std::string> helpers;
  // The contracts this installer speaks; validation only confirms the document states them.
  std::uint64_t runtime_lease_abi = 2;
  std::uint64_t staging_abi = 1;
  std::uint64_t console_interrupt_abi = 1;
};

inline constexpr std::uint64_t manifest_read_limit = 524288;
inline constexpr std::uint64_t max_launcher_bytes = 1073741824;
inline constexpr std::size_t max_launcher_files = 4096;

// Parses the bytes as protocol JSON, then as a snapshot manifest, then applies the bootstrap checks.
SnapshotManifest parse_bootstrap_manifest(std::string_view bytes);

// Validates a parsed launcher release document.
LauncherManifest parse_launcher_manifest(const Json& document);

// The initial launcher of a package: parsed from bytes and held to the current runtime contracts.
LauncherManifest parse_initial_launcher(std::string_view bytes);

// The document must state `key` as the integer `expected`.
void require_runtime_contract(const Json& document, const char* key, std::uint64_t expected);

// What a shortcut starts, relative to the installation root: the bootstrap's declared GUI entry
// when there is one, else its executable.
std::string bootstrap_shortcut_program(const SnapshotManifest& bootstrap);

}  // namespace tovra
