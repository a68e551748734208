#pragma once
// Problem assertions (the code, and where given, the exact message) and small shared helpers.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "core/error.h"

namespace tovra::testing {

// "code: message" of the problem `action` raised, or "ok".
inline std::string outcome(const std::function<void()>& action) {
  try {
    action();
  } catch (const Error& error) {
    return error.code() + ": " + error.what();
  }
  return "ok";
}

// Runs a shell command quietly and returns its status.
inline int run_quiet(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

inline std::string quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

// Unmounts `point` when the test ends, however it ends.
struct Unmount {
  std::filesystem::path point;
  ~Unmount() { run_quiet("umount " + quoted(point)); }
};

}  // namespace tovra::testing

#define EXPECT_PROBLEM_IMPL(statement, expected_code, check_message, expected_message) \
  do {                                                                                 \
    try {                                                                              \
      statement;                                                                       \
      ADD_FAILURE() << "no problem raised by " #statement;                             \
    } catch (const ::tovra::Error& problem_) {                                         \
      EXPECT_EQ(problem_.code(), std::string(expected_code));                          \
      if (check_message) { EXPECT_EQ(std::string(problem_.what()), std::string(expected_message)); } \
    }                                                                                  \
  } while (false)

#define EXPECT_PROBLEM(statement, code, message) EXPECT_PROBLEM_IMPL(statement, code, true, message)
#define EXPECT_PROBLEM_CODE(statement, code) EXPECT_PROBLEM_IMPL(statement, code, false, "")
