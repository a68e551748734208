// The rules of launcher entries that every backend shares: text bounds and the bootstrap's
// program header.
#include "platform/launcher_entry.h"

#include <algorithm>
#include <cstdint>

#include "core/error.h"
#include "core/text.h"

namespace tovra {
namespace {

std::uint32_t read_u16(std::string_view bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[offset])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[offset + 1])) << 8;
}

std::uint32_t read_u32(std::string_view bytes, std::size_t offset) {
  return read_u16(bytes, offset) | read_u16(bytes, offset + 2) << 16;
}

[[noreturn]] void not_windowed() {
  throw Error("shortcut_bootstrap", "Use the AMD64 windowed bootstrap for Windows menu shortcuts");
}

}  // namespace

void require_shortcut_text(std::string_view text, std::size_t maximum) {
  const bool bounded = !text.empty() && text.size() <= maximum &&
                       std::none_of(text.begin(), text.end(), [](char c) {
                         const auto byte = static_cast<unsigned char>(c);
                         return byte < 0x20 || byte == 0x7F;
                       });
  require(bounded, "shortcut_text", "Shortcut text must be bounded and contain no control characters");
  require(is_valid_utf8(text), "shortcut_text", "Shortcut text must be valid UTF-8");
}

void require_windowed_bootstrap_image(std::string_view header) {
  const std::size_t size = header.size();
  if (size < 64 || read_u16(header, 0) != 0x5A4D) not_windowed();
  const std::size_t e = read_u32(header, 60);
  if (e < 64 || e > size || size - e < 94) not_windowed();
  if (read_u32(header, e) != 0x00004550) not_windowed();
  if (read_u16(header, e + 4) != 0x8664) not_windowed();
  if (read_u16(header, e + 20) < 70) not_windowed();
  const std::uint32_t characteristics = read_u16(header, e + 22);
  if ((characteristics & 0x0002) == 0 || (characteristics & 0x2000) != 0) not_windowed();
  if (read_u16(header, e + 24) != 0x20B) not_windowed();
  if (read_u16(header, e + 92) != 2) not_windowed();
}

}  // namespace tovra
