#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/paths.h"
#include "core/text.h"
#include "platform/directory_listing.h"
#include "support/temp_dir.h"
#include "test_util.h"
#include "support/links.h"

namespace tovra {
namespace {

constexpr const char* kNotRelative = "Path must be a safe relative path";
constexpr const char* kUnsafeComponent = "Path contains an unsafe component";
constexpr const char* kNotPortable = "Path is not portable across supported platforms";
constexpr const char* kReserved = "Path uses a reserved platform name";
constexpr const char* kTrailing = "Trailing path separator is not allowed";

struct PathCase {
  std::string text;
  bool portable;
  const char* message;  // nullptr: accepted
};

TEST(CheckRelativePath, Table) {
  const std::string component255(255, 'c');
  std::string exact4096(4096, 'd');  // twenty components of 200 bytes and one of 76
  for (std::size_t slash = 200; slash < 4096; slash += 201) exact4096[slash] = '/';

  const PathCase cases[] = {
      {"a/b/c.txt", true, nullptr}, {exact4096, true, nullptr}, {exact4096 + "e", true, kNotRelative},
      {component255, true, nullptr}, {component255 + "c", false, kUnsafeComponent}, {"", false, kNotRelative},
      {"/a", false, kNotRelative}, {"a\\b", false, kNotRelative}, {std::string("a\0b", 3), false, kNotRelative},
      {"a/./b", false, kUnsafeComponent}, {"a/../b", false, kUnsafeComponent},
      {"a//b", false, kUnsafeComponent}, {"c:x", false, kUnsafeComponent}, {"a/b/", false, kTrailing},
      {"a/", true, kTrailing}, {"notes.", true, kNotPortable}, {"a?b", false, nullptr},
      {"a?b", true, kNotPortable}, {"trailing ", true, kNotPortable}, {"tab\there", true, kNotPortable},
      {"caf\xc3\xa9/\x7f", true, nullptr}, {"dir/con.txt", true, kReserved}, {"Aux", true, kReserved},
      {"con.txt", false, nullptr}, {"COM0", true, nullptr}, {"console", true, nullptr},
      {"com10", true, nullptr}, {"lpt3.x", true, kReserved},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40) + (c.portable ? " portable" : ""));
    if (c.message == nullptr) {
      EXPECT_NO_THROW(check_relative_path(c.text, c.portable));
    } else {
      EXPECT_PROBLEM(check_relative_path(c.text, c.portable), "unsafe_path", c.message);
    }
  }
}

TEST(CheckIdentifier, CharacterRuleThenPortablePathRule) {
  for (const char* good : {"my-game.2", "a"}) EXPECT_NO_THROW(check_identifier(good)) << good;
  EXPECT_NO_THROW(check_identifier(std::string(80, 'x')));
  const char* kRule = "Game and build IDs use lower-case letters, digits, dots and hyphens";
  for (std::string_view bad : {"My-Game", "", "..", ".", "a_b", "a/b", "caf\xc3\xa9"})
    EXPECT_PROBLEM(check_identifier(bad), "invalid_identity", kRule);
  EXPECT_PROBLEM(check_identifier(std::string(81, 'x')), "invalid_identity", kRule);
  EXPECT_PROBLEM(check_identifier("game."), "unsafe_path", kNotPortable);
}

TEST(CheckBrandName, FolderSafeNames) {
  const std::string kShape =
      "A brand name is 1 to 64 bytes and also names a folder: no control characters, none of < > : \" / \\ | ? *, "
      "and no leading space or trailing space or dot";
  for (std::string_view good : {"Tovra", "Nine Lives Games", "\xe6\x97\xa5\xe6\x9c\xac", "A.B", "COM0"})
    EXPECT_NO_THROW(check_brand_name(good)) << good;
  EXPECT_NO_THROW(check_brand_name(std::string(64, 'n')));
  for (const std::string& bad : {std::string(), std::string(65, 'n'), std::string(" Lead"), std::string("Trail "),
                                std::string("Dot."), std::string("a:b"), std::string("bell\x07"), std::string("del\x7f")})
    EXPECT_PROBLEM(check_brand_name(bad), "invalid_native_package", kShape);
  for (const char* device : {"Nul.Games", "com9.x"})
    EXPECT_PROBLEM(check_brand_name(device), "invalid_native_package", "A brand name cannot be a Windows device name");
}

std::string bytes(std::u8string_view text) { return std::string(text.begin(), text.end()); }

TEST(NativePath, RoundTripsUtf8ThroughTheDiskAndRefusesNulAndInvalidUtf8) {
  testing::TempDir dir;
  const std::vector<std::u8string> names = {u8"caf\u00e9", u8"\u30c7\u30fc\u30bf", u8"with spaces", u8"\u00dc \U0001F600.txt"};
  std::set<std::string> listed;
  for (const std::u8string& name : names) {
    const std::filesystem::path path = dir.path() / native_path(bytes(name));
    EXPECT_EQ(utf8_path(path.filename()), bytes(name));
    testing::write_file(path, "x");
  }
  // The system's own names, read back independently of the conversion.
  list_directory(dir.path(), [&](const DirectoryEntry& entry) { return listed.insert(entry.name).second; });
  EXPECT_EQ(listed, (std::set<std::string>{bytes(names[0]), bytes(names[1]), bytes(names[2]), bytes(names[3])}));

  const std::filesystem::path nested = native_path(bytes(u8"caf\u00e9/\u30c7\u30fc\u30bf/a b"));
  EXPECT_EQ(std::distance(nested.begin(), nested.end()), 3);
  EXPECT_EQ(utf8_generic_path(nested), bytes(u8"caf\u00e9/\u30c7\u30fc\u30bf/a b"));
  EXPECT_PROBLEM(native_path(std::string("a\0b", 3)), "unsafe_path", "Native path contains a NUL byte");
  // Text that is not UTF-8 fails the standard conversion, not as a problem of ours.
  EXPECT_THROW(native_path("bad\xff"), std::range_error);
}

TEST(ManagedPath, JoinsAndRefusesLinksAtAnyDepth) {
  TOVRA_NEEDS_SYMLINKS();
  testing::TempDir dir;
  std::filesystem::create_directories(dir / "real/inner");
  testing::make_directory_symlink(dir / "real", dir / "linked");
  testing::make_symlink(dir / "nowhere", dir / "real/dangling");

  EXPECT_EQ(managed_path(dir.path(), "real/inner/new.txt", true), dir.path() / "real/inner/new.txt");
  EXPECT_EQ(managed_path(dir.path(), "missing/deeper", false), dir.path() / "missing/deeper");
  EXPECT_PROBLEM(managed_path(dir.path(), "linked/inner", false), "unsafe_path", "Managed path contains a symbolic link");
  EXPECT_PROBLEM(managed_path(dir.path(), "real/dangling", false), "unsafe_path",
                 "Managed path contains a symbolic link");
  EXPECT_PROBLEM(managed_path(dir.path(), "real/../linked", false), "unsafe_path", kUnsafeComponent);
  // The root itself is the caller's responsibility.
  EXPECT_EQ(managed_path(dir / "linked", "inner", false), dir.path() / "linked/inner");
}

TEST(Utf16Length, CountsSurrogatePairsAndRefusesMalformedText) {
  const std::pair<std::string, std::size_t> valid[] = {{"", 0}, {"abc", 3}, {"\xc3\xa9", 1}, {"\xef\xbf\xbf", 1},
                                                       {"\xf0\x9f\x98\x80", 2}, {"\xf4\x8f\xbf\xbf", 2},
                                                       {"a\xf0\x90\x80\x80z", 4}};
  for (const auto& [text, units] : valid) EXPECT_EQ(utf16_length(text), units) << text;
  // Stray, truncated, overlong, surrogate and beyond U+10FFFF.
  const std::string invalid[] = {"\xff", "\x80", "\xc3", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                                 "\xf0\x9f\x98"};
  for (const auto& text : invalid) {
    EXPECT_FALSE(utf16_length_if_valid(text).has_value());
    EXPECT_THROW(utf16_length(text), std::range_error);
  }
}

}  // namespace
}  // namespace tovra
