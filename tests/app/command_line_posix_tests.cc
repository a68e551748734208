#include "platform/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/results.h"
#include "core/test_util.h"

namespace tovra {
namespace {

// Builds an argv array over `entries` and reads it.
std::vector<std::string> read(std::vector<std::string> entries) {
  std::vector<char*> argv;
  for (auto& entry : entries) argv.push_back(entry.data());
  argv.push_back(nullptr);
  return read_native_arguments(static_cast<int>(entries.size()), argv.data());
}

void expect_problem(const std::vector<std::string>& entries, const std::string& code, const std::string& message) {
  EXPECT_EQ(testing::outcome([&] { read(entries); }), code + ": " + message) << entries.size() << " entries";
}

TEST(NativeArguments, DropsTheProgramNameKeepsUtf8AndNeedsIt) {
  EXPECT_EQ(read({"tovra-install"}), std::vector<std::string>{});
  EXPECT_EQ(read({"tovra-install", "status", "", "--data-dir", "/home/\xC3\xA9t\xC3\xA9/\xF0\x9F\x8E\xAE"}),
            (std::vector<std::string>{"status", "", "--data-dir", "/home/\xC3\xA9t\xC3\xA9/\xF0\x9F\x8E\xAE"}));
  expect_problem({}, "argument_encoding", "Cannot parse native Unicode command line");
  // The decoder's cases are covered with the text helpers; here only that every entry is checked.
  expect_problem({"tovra-install", "status", "a\xC3"}, "text_encoding", "Native process text must contain valid Unicode");
}

TEST(NativeArguments, BoundsTheRawLineInUtf16Units) {
  // Each entry costs its UTF-16 length plus one, and the line must stay below 32767 units: a
  // four-byte character is two units, a three-byte one is one unit.
  const std::string program = "p";  // 2 units
  std::string astral;
  for (int i = 0; i < 16381; ++i) astral += "\xF0\x9F\x8E\xAE";
  astral += "\xE2\x80\xA6";  // 32763 units in 65527 bytes: the line is 32766
  EXPECT_EQ(read({program, astral}).size(), 1u);
  astral += "\xE2\x80\xA6";  // the line reaches 32767
  expect_problem({program, astral}, "argument_limit", "Native command line exceeds the Windows bound");
}

TEST(NativeText, BoundsOneTextInUtf16Units) {
  EXPECT_EQ(testing::outcome([] { native_text_to_utf8(std::string(kNativeTextUnits + 1, 'a')); }),
            "text_limit: Native Unicode text exceeds its bound");
  // Two-byte characters are one unit each: twice the bytes still fit.
  std::string wide;
  for (std::size_t i = 0; i < kNativeTextUnits; ++i) wide += "\xC3\xA9";
  EXPECT_EQ(native_text_to_utf8(wide).size(), 2 * kNativeTextUnits);
}

// POSIX names are bytes, so a path can hold text that is not UTF-8; no document may carry it.
TEST(ResultDocumentsPosix, RefusesPathsThatAreNotUtf8) {
  StatusResult result;
  result.data_root = "/bad\xFF";
  EXPECT_THROW(serialize_document(status_document(result)), Json::exception);
}

}  // namespace
}  // namespace tovra
