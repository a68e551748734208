#pragma once
// Shared pieces of the fuzz targets: a scratch folder per process, whole-file writes, and the
// rule every target enforces: a refusal is a tovra::Error, never any other exception.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "core/digest.h"
#include "core/error.h"
#include "core/json.h"

namespace tovra::fuzz {

inline std::string_view bytes_of(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// A private folder for this fuzzing process, removed when the process ends normally.
inline const std::filesystem::path& scratch() {
  static const std::filesystem::path folder = [] {
    initialize_crypto();
    std::filesystem::path path = std::filesystem::temp_directory_path() / ("tovra-fuzz-" + random_identifier());
    std::filesystem::create_directories(path);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(scratch(), ignored);
    });
    return path;
  }();
  return folder;
}

inline void put_file(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) std::abort();
}

// Runs `body`; an Error is an accepted refusal, anything else escaping is a finding.
template <typename Body>
void refusals_are_errors(Body&& body) {
  try {
    body();
  } catch (const Error&) {
  }
}

// Splits at the first NUL byte: (before, after); without one, everything is `before`.
inline std::pair<std::string_view, std::string_view> split_at_nul(std::string_view text) {
  const std::size_t at = text.find('\0');
  if (at == std::string_view::npos) return {text, {}};
  return {text.substr(0, at), text.substr(at + 1)};
}

}  // namespace tovra::fuzz

namespace tovra::fuzz {

// For readers whose contract lets JSON library exceptions through to a caller that converts them.
template <typename Body>
void refusals_are_errors_or_json(Body&& body) {
  try {
    body();
  } catch (const Error&) {
  } catch (const nlohmann::json::exception&) {
  }
}

}  // namespace tovra::fuzz
