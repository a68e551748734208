// Path rules and private folder creation that hold alike on every backend.

#include "platform/storage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/test_util.h"
#include "support/temp_dir.h"

namespace tovra::windows_security {
namespace {

namespace fs = std::filesystem;
using tovra::testing::outcome;

std::string repeat(std::string_view unit, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += unit;
  return text;
}

TEST(PathRules, ComponentsAreCheckedAsOnWindows) {
  const std::string unsafe = "unsafe_path: Windows storage path contains an unsafe component";
  const std::string reserved = "unsafe_path: Windows storage path contains a reserved device name";
  const std::string control = "unsafe_path: Windows storage path contains a control character";
  const struct {
    std::string path;
    std::string expected;
  } cases[] = {
      {"Com3", reserved},        {"LPT\xC2\xB2", reserved},  {"data/com1.tar.gz", reserved},
      {"con", reserved},         {"com0", "ok"},             {"console", "ok"},
      {"COM10", "ok"},           {"LPT\xC2\xB4", "ok"},      {"auxiliary", "ok"},
      {"con-x", "ok"},           {"name.", unsafe},          {"name ", unsafe},
      {"a/../b", unsafe},        {"a\"b", unsafe},           {"a|b", unsafe},
      {"a\x01z", control},       {repeat("x", 255), "ok"},   {repeat("x", 256), unsafe},
      // Lengths are UTF-16 units: a four-byte character is two, a two-byte one is one.
      {repeat("\xF0\x9F\x98\x80", 127) + "x", "ok"},
      {repeat("\xF0\x9F\x98\x80", 128), unsafe},
      {repeat("\xC3\xA9", 255), "ok"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(outcome([&] { check_path_components(native_path(c.path)); }), c.expected) << c.path;
  }
  EXPECT_EQ(check_path_components(native_path("a/./b//c/")), 3u);
  EXPECT_EQ(check_path_components(native_path("/abs/x")), 2u);
  EXPECT_EQ(check_path_components(native_path(repeat("d/", 128))), 128u);
  EXPECT_EQ(outcome([] { check_path_components(native_path(repeat("d/", 129))); }), unsafe);
}

TEST(PrivateFolders, CreatesAtMost32FoldersPerCall) {
  tovra::testing::TempDir temp;
  fs::path path = temp / "deep";
  ensure_private_directory(path);
  for (int i = 1; i <= 33; ++i) path /= "d" + std::to_string(i);
  EXPECT_EQ(outcome([&] { ensure_private_directory(path); }),
            "size_limit: Windows storage creation exceeds its parent limit");
  EXPECT_TRUE(fs::is_directory(path.parent_path()));
  EXPECT_FALSE(fs::exists(path));
  // The next call goes on from the 32 that remain.
  EXPECT_EQ(outcome([&] { ensure_private_directory(path); }), "ok");
}

}  // namespace
}  // namespace tovra::windows_security
