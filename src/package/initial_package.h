#pragma once
// The sealed initial package: a descriptor whose SHA-256 the installer is built with, and the
// flat files it names by length and digest. Loading verifies every file; nothing is written.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/digest.h"
#include "package/brand.h"
#include "package/release_manifest.h"
#include "package/snapshot_manifest.h"
#include "package/theme.h"

namespace tovra {

struct FeaturedGame {
  std::string id;
  std::string name;
};

struct InitialPackage {
  std::filesystem::path root;  // absolute, lexically normalised
  std::string descriptor_sha256;
  std::string origin;
  std::string root_metadata;
  std::string ca_bundle;  // empty when the package has none
  std::string bootstrap_manifest_bytes;
  std::string launcher_manifest_bytes;
  SnapshotManifest bootstrap;
  LauncherManifest launcher;
  std::optional<FeaturedGame> featured_game;
  std::optional<Brand> brand;
  std::string icon;      // empty when there is none
  ThemeResources theme;  // empty when the brand has no theme
};

inline constexpr std::uint64_t max_package_payload = 1073741824;

// Full load and verification; `progress` sees the hashing of the package files.
InitialPackage load_initial_package(const std::filesystem::path& directory, std::string_view seal,
                                    const HashProgress& progress);

// The front end's light read: seal, descriptor and its digest, then only the brand.
std::optional<Brand> read_package_brand(const std::filesystem::path& directory, std::string_view seal);

// The repository origin must be a plain HTTPS origin (scheme, host, optional port).
void check_package_origin(const std::string& origin);

}  // namespace tovra
