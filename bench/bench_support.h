// What both benchmarks share: file content that compresses like program files, and the way a
// benchmark reports a failure.
#pragma once

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>

#include "core/error.h"

namespace tovra::bench {

// Deterministic content that compresses about as well as program files do.
class Content {
 public:
  void fill(std::string& out, std::size_t size) {
    out.resize(size);
    for (std::size_t i = 0; i < size; ++i) {
      state_ ^= state_ << 13;
      state_ ^= state_ >> 7;
      state_ ^= state_ << 17;
      out[i] = (state_ & 3) == 0 ? static_cast<char>(state_ >> 8) : static_cast<char>('a' + (state_ >> 20) % 8);
    }
  }

 private:
  std::uint64_t state_ = 0x9E3779B97F4A7C15ull;
};

// Runs the body; a failure is printed with its problem code and the exit status is 1.
template <typename Body>
int run_reporting(Body body) {
  try {
    body();
    return 0;
  } catch (const Error& e) {
    std::fprintf(stderr, "%s: %s\n", e.code().c_str(), e.what());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
  }
  return 1;
}

}  // namespace tovra::bench
