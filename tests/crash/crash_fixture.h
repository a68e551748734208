#pragma once
// What the crash and fault tests share: a data folder that already holds saves and settings, the
// checks that status tells the truth about it, and the proof that an installation is verified:
// a repair that finds nothing to replace.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/json.h"
#include "platform/storage.h"
#include "support/temp_dir.h"

namespace tovra::testing {

// A full disk and a refused access as the backend's system reports them to a durable step.
extern const int kDiskFull;
extern const int kAccessDenied;

inline constexpr const char* kSave = "userdata/slot-1/save.dat";
inline constexpr const char* kSaveBytes = "level 7, 3 lives";
inline constexpr const char* kSettings = "settings.json";
inline constexpr const char* kSettingsBytes = "{\"volume\":3}";

// An earlier data folder holding only the player's saves and settings.
inline void make_earlier_data_folder(const std::filesystem::path& data) {
  namespace fs = std::filesystem;
  fs::remove_all(data);
  windows_security::ensure_private_directory((data / kSave).parent_path());
  write_file(data / kSave, kSaveBytes);
  write_file(data / kSettings, kSettingsBytes);
}

inline void expect_saves_untouched(const std::filesystem::path& data, const std::string& context) {
  EXPECT_EQ(read_file(data / kSave), kSaveBytes) << context;
  EXPECT_EQ(read_file(data / kSettings), kSettingsBytes) << context;
}

// What the disk says: the marker stands, and a finished installation record is present.
struct DiskTruth {
  bool marker = false;
  bool record = false;
  bool started() const { return marker || record; }
};

inline DiskTruth disk_truth(const std::filesystem::path& data) {
  namespace fs = std::filesystem;
  std::error_code ignored;
  return {fs::exists(fs::symlink_status(data / ".tovra-setup-incomplete", ignored)),
          fs::exists(fs::symlink_status(data / "native/installation.json", ignored))};
}

// The uninstalled state: only the saves and settings remain. The lock files' removal is best
// effort, so a run whose removal of them failed may leave them (`tolerate_locks`).
inline void expect_only_saves_remain(const std::filesystem::path& data, const std::string& context,
                                     bool tolerate_locks = false) {
  namespace fs = std::filesystem;
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(data)) {
    const std::string name = entry.path().filename().string();
    if (!(tolerate_locks && (name == ".native-bootstrap.lock" || name == ".tovra-setup.lock"))) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{kSettings, "userdata"})) << context;
  expect_saves_untouched(data, context);
}

// Makes each of the three managed folders fail its checks, so that a repair replaces them all.
inline void damage_installation(const std::filesystem::path& data) {
  namespace fs = std::filesystem;
  fs::remove(data / "trust/root.json");
  write_file(data / "native/bootstrap/bin/tovra-bootstrap.exe", "not the bootstrap");
  for (const auto& entry : fs::recursive_directory_iterator(data / "launcher"))
    if (entry.path().filename() == "readme.txt") write_file(entry.path(), "changed notes");
}

}  // namespace tovra::testing
