#pragma once
// Problem assertions: the code, and where given, the exact message.

#include <gtest/gtest.h>

#include <string>

#include "core/error.h"

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
