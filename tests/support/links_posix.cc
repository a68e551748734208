#include "support/links.h"

namespace tovra::testing {

void make_symlink(const std::filesystem::path& target, const std::filesystem::path& link) {
  std::filesystem::create_symlink(target, link);
}

void make_directory_symlink(const std::filesystem::path& target, const std::filesystem::path& link) {
  std::filesystem::create_directory_symlink(target, link);
}

bool symlinks_available() { return true; }

}  // namespace tovra::testing
