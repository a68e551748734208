#pragma once
// Symbolic links, made the way each system makes them. Wine's CreateSymbolicLinkW reports
// success but makes no link, so the tests that need links skip there.

#include <gtest/gtest.h>

#include <filesystem>

namespace tovra::testing {

void make_symlink(const std::filesystem::path& target, const std::filesystem::path& link);
void make_directory_symlink(const std::filesystem::path& target, const std::filesystem::path& link);
bool symlinks_available();

}  // namespace tovra::testing

#define TOVRA_NEEDS_SYMLINKS()                                                                       \
  do {                                                                                               \
    if (!::tovra::testing::symlinks_available())                                                     \
      GTEST_SKIP() << "Wine limitation: CreateSymbolicLinkW reports success but makes no link";     \
  } while (false)
