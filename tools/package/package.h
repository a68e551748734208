#pragma once
// A whole initial package: TUF root, release manifests and snapshots, optional CA bundle and
// brand, and the descriptor whose SHA-256 is the seal the installer is built with.
//
//   PackageOptions options;                       // a valid package with a fresh Ed25519 root
//   std::string seal = build_package(options, dir);

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/json.h"
#include "package/keys.h"
#include "package/root.h"
#include "package/snapshot.h"

namespace tovra::builder {

inline constexpr const char* descriptor_name = "initial-package.json";

struct ReleaseOptions {
  Payload files;
  std::string gui_executable;             // bootstrap: empty means not declared
  std::vector<RuntimeHelper> helpers;     // launcher only
  std::string manifest_name;              // file name in the package
  SnapshotOptions snapshot;               // build id, platform, executable, archive name, hooks
};

ReleaseOptions default_bootstrap();
ReleaseOptions default_launcher();

struct ThemeOptions {
  std::string definition;                     // theme.json
  std::map<std::string, std::string> files;   // NAME -> bytes, stored as theme-NAME
};

// A theme.json with the platform's built-in palette and no files.
std::string default_theme_definition();
// The smallest byte string the installer takes as an .ico file.
std::string ico_stub();

// An uncompressed bottom-up 24-bit BMP, the image format themes take.
std::string bmp_image(std::uint32_t width, std::uint32_t height);

struct BrandOptions {
  std::string name = "Tovra";
  std::string id = "tovra";
  std::string publisher = "Tovra Games";
  std::optional<std::string> icon;  // .ico bytes
  std::optional<ThemeOptions> theme;
};

struct FeaturedGame {
  std::string id;
  std::string name;
};

struct PackageOptions {
  std::string origin = "https://repository.tovra.test";
  std::string platform = "windows-x86_64";
  // Keys that sign the root; empty: one fresh Ed25519 key.
  std::vector<std::shared_ptr<const SigningKey>> signers;
  // Root content; empty: every role held by the signers with threshold 1.
  std::optional<RootOptions> root;
  std::optional<std::string> root_bytes;  // used as the root file instead of a signed root
  std::optional<std::string> ca_bundle;   // PEM
  ReleaseOptions bootstrap = default_bootstrap();
  ReleaseOptions launcher = default_launcher();
  std::optional<BrandOptions> brand;
  std::optional<FeaturedGame> featured_game;
  // Hooks for packages the installer must refuse.
  std::map<std::string, std::string> extra_files;  // written but not described
  std::function<void(Json& descriptor)> edit_descriptor;
  // Runs on the finished folder before it is moved into place; a throw leaves nothing behind.
  std::function<void(const std::filesystem::path& staged, const std::string& seal)> verify;
};

struct BuiltPackage {
  std::string seal;  // SHA-256 of initial-package.json, lower-case hex
  std::string descriptor;
  Json root;         // the root as written (absent when root_bytes was given)
};

// Builds everything in a temporary sibling of `out_dir` and renames it into place; `out_dir`
// must be absent or an empty folder. Nothing is left behind on failure.
BuiltPackage build_package_files(const PackageOptions& options, const std::filesystem::path& out_dir);
std::string build_package(const PackageOptions& options, const std::filesystem::path& out_dir);

// The translation unit that gives an installer its seal. Only a seal (64 lower-case hexadecimal
// digits) is pasted into it; any other text is refused.
std::string seal_source(const std::string& seal);

}  // namespace tovra::builder
