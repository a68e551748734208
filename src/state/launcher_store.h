#pragma once
// The launcher store: content-addressed launcher versions, their stored manifests and the state
// file naming the active, candidate and rollback versions. The installer creates the store, seeds
// a brand-new one with the package's launcher, and reads it to report and repair.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/digest.h"
#include "core/json.h"
#include "package/release_manifest.h"

namespace tovra {

inline constexpr std::uint64_t kLauncherStateLimit = 32768;
inline constexpr std::string_view kLauncherStoreFormat = "tovra-launcher-store-v1";

// A stored launcher version: {manifest_sha256, build_id}.
struct LauncherReference {
  std::string manifest_sha256;
  std::string build_id;
};

class LauncherStore {
 public:
  // Creates the store's folders privately and validates its state. Unless `seeding`, a data root
  // with an unfinished setup is refused.
  static LauncherStore create(const std::filesystem::path& launcher_root, bool seeding);
  // Checks the store's folders (real directories, not linked) and validates its state.
  static LauncherStore open(const std::filesystem::path& launcher_root);

  const std::filesystem::path& root() const { return root_; }
  const std::filesystem::path& launcher_directory() const { return launcher_directory_; }

  // The validated state document, or the implicit state of a store without a state file.
  Json read_state() const;
  // read_state plus `installed`: whether an active version is set.
  Json read_state_with_installed() const;
  // Increments `generation` and writes the state durably.
  void write_state(Json state) const;

  // `reference` is a state slot (object or null).
  std::filesystem::path version_directory(const Json& reference) const;
  LauncherManifest load_stored_manifest(const Json& reference) const;

 private:
  LauncherStore(std::filesystem::path root, std::filesystem::path launcher_directory)
      : root_(std::move(root)), launcher_directory_(std::move(launcher_directory)) {}

  std::filesystem::path root_;
  std::filesystem::path launcher_directory_;
};

// Raises launcher_state / invalid_identity unless `reference` is null or a valid reference.
void check_launcher_reference(const Json& reference);

// Seeds a brand-new store under `launcher_root` with the package's launcher as the candidate
// (generation 1) and returns its reference.
LauncherReference seed_initial_launcher(const std::filesystem::path& launcher_root, std::string_view manifest_bytes,
                                        const std::filesystem::path& archive, const HashProgress& progress);

// Whether the store's active (or else candidate) version verifies; false on any failure.
bool launcher_intact(const std::filesystem::path& launcher_root);

}  // namespace tovra
