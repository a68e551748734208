#pragma once
// Small readers shared by the package documents: integer comparisons that never coerce a
// boolean or string, and ASCII-only case folding.

#include <cstdint>
#include <string>
#include <string_view>

#include "core/json.h"

namespace tovra::package_detail {

// True when `value` is a JSON integer (signed or unsigned) equal to `expected`.
inline bool integer_equals(const Json& value, std::uint64_t expected) {
  if (value.is_number_unsigned()) return value.get<std::uint64_t>() == expected;
  if (value.is_number_integer()) {
    const auto signed_value = value.get<std::int64_t>();
    return signed_value >= 0 && static_cast<std::uint64_t>(signed_value) == expected;
  }
  return false;
}

// True when `object` is a JSON object with member `key` equal to the integer `expected`.
inline bool member_integer_equals(const Json& object, const char* key, std::uint64_t expected) {
  if (!object.is_object()) return false;
  const auto found = object.find(key);
  return found != object.end() && integer_equals(*found, expected);
}

inline std::string fold_ascii(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

inline bool is_lower_sha256(const Json& value) {
  if (!value.is_string()) return false;
  const auto& text = value.get_ref<const std::string&>();
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace tovra::package_detail
