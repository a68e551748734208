#pragma once
// UTF-8 text helpers. Path bounds are counted in UTF-16 units so that the same limits hold on
// every platform.

#include <cstddef>
#include <optional>
#include <string_view>

namespace tovra {

// Well-formed UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text);

// UTF-16 length of UTF-8 text, or nothing when the text is not valid UTF-8.
std::optional<std::size_t> utf16_length_if_valid(std::string_view text);

// UTF-16 length of UTF-8 text; throws std::range_error (not an Error) on invalid UTF-8.
std::size_t utf16_length(std::string_view text);

// The longest prefix of at most `max_bytes` bytes that does not end inside a character.
// On text that is not valid UTF-8 the cut still never splits a well-formed sequence.
std::string_view utf8_prefix(std::string_view text, std::size_t max_bytes);

}  // namespace tovra
