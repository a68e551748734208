#pragma once
// Problems: every failure the installer reports is an Error with a stable snake_case code and
// an English message without a final full stop.

#include <stdexcept>
#include <string>
#include <string_view>

namespace tovra {

class Error : public std::runtime_error {
 public:
  Error(std::string code, const std::string& message)
      : std::runtime_error(message), code_(std::move(code)) {}
  const std::string& code() const noexcept { return code_; }

 private:
  std::string code_;
};

inline void require(bool condition, std::string_view code, std::string_view message) {
  if (!condition) throw Error(std::string(code), std::string(message));
}

}  // namespace tovra
