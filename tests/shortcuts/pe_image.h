#pragma once
// A minimal PE32+ image header for the bootstrap checks, and their refusal.

#include <cstddef>
#include <cstdint>
#include <string>

namespace tovra::testing {

inline const std::string kNotWindowed =
    "shortcut_bootstrap: Use the AMD64 windowed bootstrap for Windows menu shortcuts";

// PE header fields the bootstrap check reads; the defaults describe an AMD64 windowed program.
struct PeFields {
  std::uint32_t pe_offset = 128;
  std::uint16_t machine = 0x8664;
  std::uint16_t optional_size = 240;
  std::uint16_t characteristics = 0x0022;
  std::uint16_t magic = 0x20B;
  std::uint16_t subsystem = 2;
  std::size_t length = 512;
};

inline std::string pe_image(const PeFields& f) {
  std::string image(f.length, '\0');
  const auto put = [&](std::size_t at, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes && at + i < image.size(); ++i) image[at + i] = static_cast<char>(value >> (8 * i));
  };
  put(0, 0x5A4D, 2);
  put(60, f.pe_offset, 4);
  put(f.pe_offset, 0x00004550, 4);
  put(f.pe_offset + 4, f.machine, 2);
  put(f.pe_offset + 20, f.optional_size, 2);
  put(f.pe_offset + 22, f.characteristics, 2);
  put(f.pe_offset + 24, f.magic, 2);
  put(f.pe_offset + 92, f.subsystem, 2);
  return image;
}

}  // namespace tovra::testing
