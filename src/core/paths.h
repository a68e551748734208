#pragma once
// Identifiers and portable paths: the rules every name from a package, manifest or record passes.

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "platform/read_file.h"

namespace tovra {

// Game and build identifiers: 1-80 bytes of [a-z0-9.-], also a portable relative path.
void check_identifier(std::string_view text);
// Safe relative path: 1-4096 bytes, "/"-separated components; `portable` adds the rules that keep
// a name valid on every supported platform.
void check_relative_path(std::string_view text, bool portable);
// A brand name, which also names a folder.
void check_brand_name(std::string_view text);
// UTF-8 path text to a native path; invalid UTF-8 throws std::range_error (not an Error).
// This and utf8_path are the only ways between text and paths: a path built from a plain
// string, or read back with string(), goes through the narrow code page on Windows.
std::filesystem::path native_path(std::string_view text);
// Joins a checked relative path under `root`, refusing any component that is a link on disk.
std::filesystem::path managed_path(const std::filesystem::path& root, std::string_view text, bool portable);

// managed_path for many names below one root in one pass: each folder on the way is checked once
// rather than once per name below it.
class ManagedNames {
 public:
  ManagedNames(std::filesystem::path root, bool portable) : root_(std::move(root)), portable_(portable) {}

  // Joins like managed_path into `joined` and returns the kind of its last component; `seen` is
  // that kind when the caller has just read it without following a link, so it is not read again.
  PathKind join(std::string_view relative, std::filesystem::path& joined, std::optional<PathKind> seen = {});

 private:
  std::filesystem::path root_;
  bool portable_;
  std::set<std::filesystem::path> folders_;  // checked in this pass
};

// A native path as UTF-8 text, for messages and records.
std::string utf8_path(const std::filesystem::path& path);
// The same with "/" between components, for paths recorded relative to a root.
std::string utf8_generic_path(const std::filesystem::path& path);

}  // namespace tovra
