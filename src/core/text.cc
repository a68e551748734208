#include "core/text.h"

#include <stdexcept>

namespace tovra {
namespace {

// Length of the well-formed sequence starting at `i`, or 0 when it is malformed.
std::size_t sequence_length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k)
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  return length;
}

}  // namespace

std::optional<std::size_t> utf16_length_if_valid(std::string_view text) {
  std::size_t units = 0;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = sequence_length(text, i);
    if (length == 0) return std::nullopt;
    units += length == 4 ? 2 : 1;  // four-byte sequences need a surrogate pair
    i += length;
  }
  return units;
}

bool is_valid_utf8(std::string_view text) { return utf16_length_if_valid(text).has_value(); }

std::size_t utf16_length(std::string_view text) {
  const auto units = utf16_length_if_valid(text);
  if (!units) throw std::range_error("Text is not valid UTF-8");
  return *units;
}

std::string_view utf8_prefix(std::string_view text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  std::size_t end = 0;
  while (end < max_bytes) {
    std::size_t length = sequence_length(text, end);
    if (length == 0) length = 1;  // a stray byte is its own unit
    if (end + length > max_bytes) break;
    end += length;
  }
  return text.substr(0, end);
}

}  // namespace tovra
