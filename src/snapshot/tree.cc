#include "snapshot/tree.h"

#include <string>
#include <system_error>
#include <vector>

#include "core/error.h"
#include "core/json.h"
#include "core/paths.h"
#include "platform/directory_listing.h"
#include "core/text.h"
#include "platform/read_file.h"
#include "snapshot/progress.h"

namespace tovra {
namespace {

constexpr std::uint64_t kMaxTreeEntries = 250000;
constexpr std::uint64_t kManifestLimit = 524288;

// Every ".old" entry below `folder`; links and mounted folders are never entered.
void collect_old_files(const std::filesystem::path& folder, std::vector<std::filesystem::path>& old) {
  std::vector<std::filesystem::path> folders;
  list_directory(folder, [&](const DirectoryEntry& entry) {
    const std::filesystem::path path = folder / native_path(entry.name);
    if (path.extension() == ".old") old.push_back(path);
    if (!entry.link && path_kind(path) == PathKind::directory) folders.push_back(path);
    return true;
  });
  for (const auto& below : folders) collect_old_files(below, old);
}

}  // namespace

std::filesystem::file_type entry_kind(const std::filesystem::directory_entry& entry) {
  namespace fs = std::filesystem;
  // Only a link or an unlisted kind makes these read the file system.
  if (entry.is_symlink()) return fs::file_type::symlink;
  if (entry.is_directory()) return fs::file_type::directory;
  return entry.is_regular_file() ? fs::file_type::regular : fs::file_type::unknown;
}

void verify_snapshot_tree(const SnapshotManifest& manifest, const std::filesystem::path& root,
                          const HashProgress& progress) {
  namespace fs = std::filesystem;
  require(path_kind(root) == PathKind::directory, "unsafe_path", "Game content directory is missing or linked");

  std::uint64_t entries = 0;
  std::uint64_t files = 0;
  fs::path joined;
  ManagedNames walked(root, true);
  // The default options never follow a directory link.
  for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
    require(++entries <= kMaxTreeEntries, "size_limit", "Game directory entry count exceeds bounds");
    const fs::file_type type = entry_kind(*it);
    require(type != fs::file_type::symlink, "unsafe_path", "Game tree contains a symbolic link");
    const std::string relative = utf8_generic_path(it->path().lexically_relative(root));
    // No manifest names a file that is not UTF-8, and the path conversion would not take it.
    require(is_valid_utf8(relative), "unexpected_file", "Game tree contains an unmanaged file");
    const bool regular = type == fs::file_type::regular;
    if (type == fs::file_type::directory) {
      walked.join(relative, joined);
      continue;
    }
    walked.join(relative, joined, regular ? PathKind::file : PathKind::other);
    require(regular && manifest.files.count(relative) == 1, "unexpected_file",
            "Game tree contains an unmanaged file");
    require(++files <= manifest.files.size(), "size_limit", "Game tree contains too many files");
  }
  require(files == manifest.files.size(), "missing_file", "Game content is incomplete; repair is available");

  const std::uint64_t total = manifest.expanded_length;
  std::uint64_t verified = 0;
  ManagedNames listed(root, true);
  fs::path path;
  for (const auto& [relative, file] : manifest.files) {
    report_progress(progress, verified, total);
    const PathKind kind = listed.join(relative, path);
    const std::string differs = "Game content differs from the verified manifest: " + relative;
    require(kind == PathKind::file, "content_mismatch", differs);
    const HashProgress guard =
        progress ? declared_length_guard(file.length, verified, total, progress) : HashProgress{};
    const auto digest = hash_file_of_length(path, "sha256", file.length, guard);
    require(digest == file.sha256, "content_mismatch", differs);
    verified += file.length;
  }
  report_progress(progress, verified, total);
}

void sweep_old_files(const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  if (path_kind(root) != PathKind::directory) return;
  std::vector<fs::path> old;
  try {
    collect_old_files(root, old);
  } catch (const std::exception&) {
    // A walk that failed part-way saw only part of the tree: nothing is removed on that view.
    return;
  }
  std::error_code error;
  // A non-empty directory named *.old stays; remove() is never recursive.
  for (const auto& path : old) fs::remove(path, error);
}

bool bootstrap_intact(const std::filesystem::path& root, const std::filesystem::path& manifest_file) {
  try {
    sweep_old_files(root);
    const SnapshotManifest manifest =
        parse_snapshot_manifest(parse_json(read_bounded_file(manifest_file, kManifestLimit), kManifestLimit));
    verify_snapshot_tree(manifest, root);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace tovra
