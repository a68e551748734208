#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "core/text.h"

namespace tovra {
namespace {

TEST(Utf16Length, CountsSurrogatePairsAndRefusesMalformedText) {
  struct Case {
    std::string text;
    std::size_t units;
  };
  const Case valid[] = {{"", 0}, {"abc", 3}, {"\xc3\xa9", 1}, {"\xef\xbf\xbf", 1}, {"\xf0\x9f\x98\x80", 2},
                        {"\xf4\x8f\xbf\xbf", 2}, {"a\xf0\x90\x80\x80z", 4}};
  for (const auto& c : valid) {
    EXPECT_TRUE(is_valid_utf8(c.text)) << c.text;
    EXPECT_EQ(utf16_length(c.text), c.units) << c.text;
  }
  // Stray, truncated, overlong, surrogate and beyond U+10FFFF.
  const std::string invalid[] = {"\xff", "\x80", "\xc3", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                                 "\xf0\x9f\x98"};
  for (const auto& text : invalid) {
    EXPECT_FALSE(is_valid_utf8(text));
    EXPECT_FALSE(utf16_length_if_valid(text).has_value());
    EXPECT_THROW(utf16_length(text), std::range_error);
  }
}

}  // namespace
}  // namespace tovra
