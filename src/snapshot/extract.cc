#include "snapshot/extract.h"

#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/paths.h"
#include "platform/durable.h"
#include "platform/prepared_file.h"
#include "platform/read_file.h"
#include "platform/storage.h"
#include "snapshot/decoder.h"
#include "snapshot/progress.h"
#include "snapshot/tree.h"

namespace tovra {
namespace {

namespace ws = windows_security;

constexpr std::size_t kChunk = 65536;
constexpr std::size_t kMaxEntries = 100000;

struct ReaderDeleter {
  void operator()(struct archive* reader) const { archive_read_free(reader); }
};
using Reader = std::unique_ptr<struct archive, ReaderDeleter>;

// libarchive's pull side: decoder failures become reader failures, remembered for the drain.
la_ssize_t read_block(struct archive* reader, void* client, const void** buffer) {
  auto* decoder = static_cast<BoundedSnapshotDecoder*>(client);
  try {
    const std::string_view block = decoder->next_block();
    *buffer = block.data();
    return static_cast<la_ssize_t>(block.size());
  } catch (const std::exception& failure) {
    decoder->record_failure(failure.what());
    archive_set_error(reader, EINVAL, "%s", failure.what());
    return -1;
  }
}

void check_archive(const SnapshotManifest& manifest, const std::filesystem::path& archive) {
  constexpr const char* kDiffers = "Snapshot differs from its verified application manifest";
  require(path_kind(archive) == PathKind::file, "content_mismatch", kDiffers);
  std::optional<std::string> digest;
  try {
    digest = hash_file_of_length(archive, "sha256", manifest.length, {});
  } catch (const Error&) {
    throw Error("content_mismatch", kDiffers);
  }
  require(digest == manifest.sha256, "content_mismatch", kDiffers);
}

bool ordinary_entry(struct archive_entry* entry) {
  return archive_entry_filetype(entry) == AE_IFREG && archive_entry_symlink(entry) == nullptr &&
         archive_entry_hardlink(entry) == nullptr && archive_entry_sparse_count(entry) == 0 &&
         archive_entry_xattr_count(entry) == 0;
}

// The destination's pinned chain, extended down to each file's folder. Folders shared with the
// previous file stay open, so each folder of an archive written folder by folder is opened once
// and no file needs its ancestry walked again.
class HeldFolders {
 public:
  explicit HeldFolders(const std::filesystem::path& destination)
      : identity_(ws::current_user_identity()),
        chain_(ws::open_directory_chain(destination, true, true, identity_, true)) {}

  const ws::DirectoryChain& enter(const std::vector<std::filesystem::path>& folders) {
    std::size_t common = 0;
    while (common < folders.size() && common < open_.size() && open_[common] == folders[common]) ++common;
    for (; open_.size() > common; open_.pop_back()) chain_.pop();
    while (open_.size() < folders.size()) {
      ws::extend_directory_chain(chain_, folders[open_.size()], identity_);
      open_.push_back(folders[open_.size()]);
    }
    return chain_;
  }

 private:
  ws::UserIdentity identity_;
  ws::DirectoryChain chain_;
  std::vector<std::filesystem::path> open_;  // the folders below the destination, in order
};

// The SHA-256 of the sealed file as it lies on disk, read through its own pinned handle.
std::string sealed_sha256(PreparedFile& file, char* buffer) {
  StreamingDigest digest("sha256");
  for (std::uint64_t offset = 0;;) {
    const std::size_t count = file.read_back(offset, buffer, kChunk);
    if (count == 0) break;
    digest.update(buffer, count);
    offset += count;
  }
  return digest.finish_hex();
}

// Deepest first, the destination itself last, so every new name is durable in its parent.
void synchronize_tree(const std::filesystem::path& destination) {
  std::vector<std::filesystem::path> directories{destination};
  for (std::filesystem::recursive_directory_iterator it(destination), end; it != end; ++it) {
    if (entry_kind(*it) == std::filesystem::file_type::directory) directories.push_back(it->path());
  }
  for (auto it = directories.rbegin(); it != directories.rend(); ++it) sync_directory(*it);
}

}  // namespace

void extract_snapshot(const SnapshotManifest& manifest, const std::filesystem::path& archive,
                      const std::filesystem::path& destination, const HashProgress& progress) {
  check_archive(manifest, archive);
  require(path_kind(destination) == PathKind::missing, "staging_exists", "A fresh staging directory is required");
  HeldFolders folders(destination);

  BoundedSnapshotDecoder decoder(archive, snapshot_expansion_bound(manifest.files.size(), manifest.expanded_length));
  Reader reader(archive_read_new());
  require(reader != nullptr, "archive", "Cannot allocate archive decoder");
  const bool opened = archive_read_support_filter_none(reader.get()) == ARCHIVE_OK &&
                      archive_read_support_format_tar(reader.get()) == ARCHIVE_OK &&
                      // Names are UTF-8 whatever the local code page (which Windows would use).
                      archive_read_set_format_option(reader.get(), "tar", "hdrcharset", "UTF-8") == ARCHIVE_OK &&
                      archive_read_open(reader.get(), &decoder, nullptr, read_block, nullptr) == ARCHIVE_OK;
  require(opened, "archive", "Cannot open snapshot archive");

  const std::uint64_t total = manifest.expanded_length;
  std::uint64_t extracted = 0;
  std::set<std::string> seen;
  auto buffer = std::make_unique<char[]>(kChunk);
  std::vector<std::filesystem::path> components;
  FlushPool flushes;
  struct archive_entry* entry = nullptr;
  int header = ARCHIVE_OK;
  while ((header = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK || header == ARCHIVE_WARN) {
    report_progress(progress, extracted, total);
    const char* raw_name = archive_entry_pathname_utf8(entry);
    require(raw_name != nullptr, "archive_path", "Archive path is not valid UTF-8");
    // A name that is not UTF-8 is only a warning to the reader; any other warning stays malformed.
    if (header == ARCHIVE_WARN) break;
    const std::string name(raw_name);
    // The kind is judged before the name: a directory entry's trailing "/" is not a path problem.
    require(ordinary_entry(entry), "archive_type", "Only ordinary files are accepted in snapshots");
    check_relative_path(name, true);

    const auto listed = manifest.files.find(name);
    require(seen.size() < kMaxEntries && seen.count(name) == 0 && listed != manifest.files.end(),
            "archive_inventory", "Archive contains an unexpected or duplicate file");
    seen.insert(name);
    const SnapshotFile& file = listed->second;
    const la_int64_t size = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : -1;
    const unsigned permissions = static_cast<unsigned>(archive_entry_perm(entry)) & 07777u;
    require(size >= 0 && static_cast<std::uint64_t>(size) == file.length &&
                permissions == (file.executable ? 0755u : 0644u),
            "archive_inventory", "Archive file length or mode differs from manifest");

    const std::filesystem::path relative = native_path(name);
    components.assign(relative.begin(), relative.end());
    const std::filesystem::path leaf = components.back();
    components.pop_back();
    auto prepared = create_prepared_file_at(folders.enter(components), leaf, file.length);
    for (;;) {
      const la_ssize_t count = archive_read_data(reader.get(), buffer.get(), kChunk);
      require(count >= 0, "archive", "Snapshot decompression failed");
      if (count == 0) break;
      const auto chunk = static_cast<std::uint64_t>(count);
      require(file.length - prepared->written() >= chunk, "size_limit",
              "Archive expands beyond authenticated file length");
      prepared->write(std::string_view(buffer.get(), static_cast<std::size_t>(count)));
      extracted += chunk;
      report_progress(progress, extracted, total);
    }
    require(prepared->written() == file.length, "archive", "Snapshot file is truncated");
    prepared->set_executable(file.executable);
    prepared->seal(true);
    require(sealed_sha256(*prepared, buffer.get()) == file.sha256, "content_mismatch",
            "Extracted file hash differs from manifest");
    prepared->complete(true, &flushes);
    prepared.reset();
  }
  flushes.finish();
  require(header == ARCHIVE_EOF && seen.size() == manifest.files.size(), "archive",
          "Snapshot is incomplete or malformed");

  decoder.drain();
  verify_snapshot_tree(manifest, destination, progress);
  synchronize_tree(destination);
}

}  // namespace tovra
