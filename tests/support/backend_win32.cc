// What the tests need to know of the win32 backend: how links are made, and whether this is Wine.

#include <windows.h>

#include <stdexcept>

#include "platform/win32/win32_support.h"
#include "support/links.h"
#include "support/wine.h"

namespace tovra::testing {

bool under_wine() { return win32::running_under_wine(); }

namespace {

// MinGW's std::filesystem makes no links at all, so the system call is made here.
void link(const std::filesystem::path& target, const std::filesystem::path& link, DWORD flags) {
  if (!::CreateSymbolicLinkW(link.c_str(), target.c_str(), flags | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) ||
      ::GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES)
    throw std::runtime_error("cannot make the link " + link.generic_string());
}

}  // namespace

void make_symlink(const std::filesystem::path& target, const std::filesystem::path& link_path) {
  link(target, link_path, 0);
}

void make_directory_symlink(const std::filesystem::path& target, const std::filesystem::path& link_path) {
  link(target, link_path, SYMBOLIC_LINK_FLAG_DIRECTORY);
}

bool symlinks_available() { return !under_wine(); }

}  // namespace tovra::testing
