// What the tests need to know of the POSIX backend: links are made as asked, and this is not Wine.

#include "support/links.h"
#include "support/wine.h"

namespace tovra::testing {

void make_symlink(const std::filesystem::path& target, const std::filesystem::path& link) {
  std::filesystem::create_symlink(target, link);
}

void make_directory_symlink(const std::filesystem::path& target, const std::filesystem::path& link) {
  std::filesystem::create_directory_symlink(target, link);
}

bool symlinks_available() { return true; }

bool under_wine() { return false; }

}  // namespace tovra::testing
