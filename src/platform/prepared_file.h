#pragma once
// Prepared files: a new private file of known final length, space reserved up front, identity
// pinned at creation and re-checked on the handle and on the path before every step.
// Windows pins the identity through the file handle and checks the path with a second handle;
// POSIX holds the parent directory descriptor and re-checks (st_dev, st_ino) with fstatat.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/storage.h"
#include "platform/unique_fd.h"

namespace tovra {

// (volume, file index): st_dev/st_ino on POSIX, volume serial and file index on Windows.
struct PreparedIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  friend bool operator==(const PreparedIdentity&, const PreparedIdentity&) = default;
};

class FlushPool;

class PreparedFile {
 public:
  // Called once with the new, empty file before any space is reserved.
  using OwnershipCallback = std::function<void(PreparedFile&)>;

  ~PreparedFile();  // closes; removes the file if it was never completed and is still ours
  PreparedFile(const PreparedFile&) = delete;
  PreparedFile& operator=(const PreparedFile&) = delete;

  void write(std::string_view bytes);
  void set_executable(bool executable);
  // Truncates to what was written and re-checks; the data is final but not yet flushed.
  void seal(bool require_full_length);
  // Reads back sealed data (fewer bytes only at the end of the file).
  std::size_t read_back(std::uint64_t offset, char* buffer, std::size_t size);
  // Seals if not yet sealed, then flushes and closes: at once, or on the pool's workers.
  void complete(bool require_full_length, FlushPool* pool = nullptr);

  const std::filesystem::path& path() const;
  std::uint64_t written() const;
  bool allocated() const;  // false where the file system cannot reserve space

  struct State;
  explicit PreparedFile(std::unique_ptr<State> state);

 private:
  std::unique_ptr<State> state_;
};

std::unique_ptr<PreparedFile> create_prepared_file(const std::filesystem::path& path,
                                                   std::uint64_t authenticated_length,
                                                   const PreparedFile::OwnershipCallback& ownership = {});

// The same, for `name` directly inside the target of a held chain that the caller has verified
// private; the chain must outlive the prepared file.
std::unique_ptr<PreparedFile> create_prepared_file_at(const windows_security::DirectoryChain& parent,
                                                      const std::filesystem::path& name,
                                                      std::uint64_t authenticated_length);

// Flushes completed files on a few worker threads while the caller goes on writing the next ones.
// Files are taken in order, at most `queue_limit` wait at any time, and a failure is raised on
// the caller's thread as the same problem a direct flush raises.
class FlushPool {
 public:
  explicit FlushPool(std::size_t workers = 4, std::size_t queue_limit = 32);
  // Flushes and closes whatever is still queued and waits for the flushes in flight.
  ~FlushPool();
  FlushPool(const FlushPool&) = delete;
  FlushPool& operator=(const FlushPool&) = delete;

  // Waits while the queue is full.
  void submit(unique_fd file);
  // Returns once every file submitted so far is flushed and closed.
  void finish();

  struct Shared;

 private:
  std::unique_ptr<Shared> shared_;
  std::vector<std::thread> workers_;
};

// Identity of an ordinary (not linked) directory, read twice to detect a swap in between.
PreparedIdentity prepared_directory_identity(const std::filesystem::path& directory);

}  // namespace tovra
