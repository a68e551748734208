#include <gtest/gtest.h>

#include <string>

#include "core/json.h"
#include "support/temp_dir.h"
#include "test_util.h"
#include "support/links.h"

namespace tovra {
namespace {

std::string nested_arrays(int depth, const std::string& inner) {
  return std::string(static_cast<std::size_t>(depth), '[') + inner + std::string(static_cast<std::size_t>(depth), ']');
}

TEST(ReadBoundedFile, ReadsOrdinaryFilesUpToTheLimitAndNothingElse) {
  testing::TempDir dir;
  const std::string bytes(70000, 'x');  // more than one read chunk
  testing::write_file(dir / "f", bytes);
  EXPECT_EQ(read_bounded_file(dir / "f", bytes.size()), bytes);
  EXPECT_PROBLEM(read_bounded_file(dir / "f", bytes.size() - 1), "size_limit", "File exceeds read limit");
  TOVRA_NEEDS_SYMLINKS();
  testing::make_symlink(dir / "f", dir / "link");
  std::filesystem::create_directory(dir / "folder");
  for (const char* name : {"link", "folder"}) {
    const auto path = dir / name;
    EXPECT_PROBLEM(read_bounded_file(path, 100), "unsafe_path", "Expected an ordinary file: " + path.string());
  }
  EXPECT_PROBLEM(read_bounded_file(dir / "missing", 100), "file_read", "Cannot open file: " + (dir / "missing").string());
  // Kernel status files report size 0 but yield bytes: the same as a file that grew.
  EXPECT_PROBLEM(read_bounded_file("/proc/self/status", 100), "file_read", "File changed while reading");
}

TEST(ParseJson, SizeThenNestingBoundOfSixtyFourContainers) {
  EXPECT_PROBLEM(parse_json("not json", 7), "size_limit", "JSON exceeds its size limit");
  EXPECT_EQ(parse_json("[1]", 3), Json::array({1}));
  EXPECT_NO_THROW(parse_json(nested_arrays(64, "1"), 1000));
  EXPECT_NO_THROW(parse_json(nested_arrays(65, ""), 1000));  // the innermost starts inside 64
  EXPECT_PROBLEM(parse_json(nested_arrays(65, "1"), 1000), "depth_limit", "JSON nesting exceeds 64 levels");
  // A key counts the object it belongs to.
  EXPECT_PROBLEM(parse_json(nested_arrays(64, R"({"k":1})"), 1000), "depth_limit", "JSON nesting exceeds 64 levels");
  // Deep but broken still reports depth first.
  EXPECT_PROBLEM(parse_json(std::string(100, '['), 1000), "depth_limit", "JSON nesting exceeds 64 levels");
}

TEST(ParseJson, DuplicateKeysAreJudgedAfterUnescapingAndPerObject) {
  EXPECT_PROBLEM(parse_json(R"({"a":1,"\u0061":2})", 100), "duplicate_key", "JSON contains a duplicate object key");
  EXPECT_PROBLEM(parse_json(R"([{"x":{}},{"k":1,"k":1}])", 100), "duplicate_key",
                 "JSON contains a duplicate object key");
  EXPECT_NO_THROW(parse_json(R"({"a":{"a":1},"b":[{"a":2},{"a":3}]})", 100));
}

TEST(ParseJson, OnlyIntegersWithinSixtyFourBits) {
  for (const char* text : {"1.0", "18446744073709551616", "-9223372036854775809", R"({"a":-0.0})"}) {
    SCOPED_TRACE(text);
    EXPECT_PROBLEM(parse_json(text, 100), "invalid_number", "Floating point numbers are not allowed in protocol data");
  }
  // Too large for a double as well: refused either way, never read as infinity.
  for (const char* text : {"1E400", "-1e400"}) {
    const std::string code = testing::outcome([&] { parse_json(text, 100); });
    EXPECT_TRUE(code.rfind("invalid_json: ", 0) == 0 || code.rfind("invalid_number: ", 0) == 0) << code;
  }
  EXPECT_EQ(parse_json(R"("\ud83d\ude00\u0001")", 100), "\xf0\x9f\x98\x80\x01");
  EXPECT_EQ(parse_json("-9223372036854775808", 100).get<std::int64_t>(), INT64_MIN);
  EXPECT_EQ(parse_json("18446744073709551615", 100).get<std::uint64_t>(), UINT64_MAX);
}

TEST(ParseJson, MalformedTextIsInvalidJson) {
  // Comments, stray bytes, a byte-order mark, lone surrogate escapes and raw control characters.
  for (const char* text : {"{} // note", "/* c */ {}", "{} {}", "", "\"\xff\"", R"("\ud800")", R"("\udc00x")",
                           R"("\ud800\u0041")", "\"a\x01\"", "\"line\nbreak\"", "\"\x1f\"", "\xef\xbb\xbf{}"})
    EXPECT_PROBLEM_CODE(parse_json(text, 100), "invalid_json");
}

TEST(CanonicalJson, SortsKeysAndEscapesOnlyQuoteAndBackslash) {
  EXPECT_EQ(canonical_json(parse_json(R"({"b":[1,-2,true,null],"a":"x\"y"})", 100)),
            R"({"a":"x\"y","b":[1,-2,true,null]})");
  EXPECT_EQ(canonical_json(Json("line\nbreak\\\x01\xc3\xa9")), "\"line\nbreak\\\\\x01\xc3\xa9\"");
  EXPECT_EQ(canonical_json(parse_json(R"({"\u00e9":{},"Z":[]})", 100)), "{\"Z\":[],\"\xc3\xa9\":{}}");
  EXPECT_PROBLEM(canonical_json(Json::array({1.5})), "invalid_number", "Cannot canonicalize floating point data");
}

// Zero and negative numbers are refused in the root metadata tests.
TEST(MetadataVersion, AcceptsOnlyPositiveIntegers) {
  EXPECT_EQ(metadata_version(Json(std::int64_t{3})), 3u);
  EXPECT_EQ(metadata_version(parse_json("18446744073709551615", 30)), UINT64_MAX);
  for (const Json& bad : {Json("1"), Json(true), Json(std::int64_t{0}), Json()})
    EXPECT_PROBLEM(metadata_version(bad), "invalid_version", "Metadata version must be a positive integer");
}

}  // namespace
}  // namespace tovra
