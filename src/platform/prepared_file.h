#pragma once
// Prepared files: a new private file of known final length, space reserved up front, identity
// pinned at creation and re-checked on the handle and on the path before every step.
// Windows pins the identity through the file handle and checks the path with a second handle;
// POSIX holds the parent directory descriptor and re-checks (st_dev, st_ino) with fstatat.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>

namespace tovra {

// (volume, file index): st_dev/st_ino on POSIX, volume serial and file index on Windows.
struct PreparedIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  friend bool operator==(const PreparedIdentity&, const PreparedIdentity&) = default;
};

class PreparedFile {
 public:
  // Called once with the new, empty file before any space is reserved.
  using OwnershipCallback = std::function<void(PreparedFile&)>;

  ~PreparedFile();  // closes; removes the file if it was never completed and is still ours
  PreparedFile(const PreparedFile&) = delete;
  PreparedFile& operator=(const PreparedFile&) = delete;

  void write(std::string_view bytes);
  void set_executable(bool executable);
  void complete(bool require_full_length);

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

// Identity of an ordinary (not linked) directory, read twice to detect a swap in between.
PreparedIdentity prepared_directory_identity(const std::filesystem::path& directory);

}  // namespace tovra
