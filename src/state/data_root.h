#pragma once
// The data folder: its fixed layout, the rules for an acceptable folder, the Windows path-length
// rule for what will be installed below it, and the unfinished-setup checks.

#include <array>
#include <cstdint>
#include <filesystem>
#include <string_view>

namespace tovra {

struct DataRootLayout {
  std::filesystem::path root;
  std::filesystem::path native;
  std::filesystem::path setup_incomplete_marker;
  std::filesystem::path setup_lock;
  std::filesystem::path bootstrap_lock;
  std::filesystem::path installation_record;
  std::filesystem::path setup_status_record;
  std::filesystem::path bootstrap_dir;
  std::filesystem::path bootstrap_manifest;
  std::filesystem::path staging;
  std::filesystem::path launcher;
  std::filesystem::path trust;
  std::filesystem::path repository_config;
  std::filesystem::path repository_ca;
};

inline constexpr std::string_view kSetupIncompleteMarkerName = ".tovra-setup-incomplete";

// Entries that show a folder is an earlier data folder, so install may use it although not empty.
inline constexpr std::array<std::string_view, 4> kDataFolderMarkerNames = {"native", "launcher", "userdata",
                                                                           "settings.json"};

// Entries that mark a package folder whose creation did not finish, in the order they are checked.
inline constexpr std::array<std::string_view, 3> kUnfinishedPackageMarkerNames = {
    ".tovra-native-bundle-incomplete.json", ".tovra-initial-package-incomplete.json",
    ".tovra-launcher-package-incomplete.json"};

// The absolute, lexically normal data root: not empty, not a filesystem root, not ending in a
// separator, and not itself a symbolic link (a folder that does not exist yet is fine).
std::filesystem::path normalize_data_root(const std::filesystem::path& path);

// All fixed paths below a normalised data root.
DataRootLayout data_root_layout(const std::filesystem::path& root);

// Refuses (path_too_long, naming `folder`) when base + longest relative path (UTF-16 units)
// + 9 exceeds the 259 units Windows allows.
void require_short_paths(const std::filesystem::path& folder, const std::filesystem::path& base,
                         std::uint64_t longest_relative_path);

// Refuses a folder that holds the incomplete-setup marker in any form.
void require_setup_finished(const std::filesystem::path& folder);

// Refuses an executable that lies inside an unfinished setup or package (up to 256 folders up).
void require_finished_image(const std::filesystem::path& executable);

}  // namespace tovra
