#pragma once
// Bounded decoder of a snapshot archive: exactly one ordinary Zstandard frame, a window of at most
// 64 MiB, no more decoded bytes than the manifest allows, nothing after the frame.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/read_file.h"

namespace tovra {

class BoundedSnapshotDecoder {
 public:
  static constexpr std::size_t kBufferSize = 65536;

  BoundedSnapshotDecoder(const std::filesystem::path& archive, std::uint64_t expansion_bound);
  ~BoundedSnapshotDecoder();
  BoundedSnapshotDecoder(const BoundedSnapshotDecoder&) = delete;
  BoundedSnapshotDecoder& operator=(const BoundedSnapshotDecoder&) = delete;

  // The next decoded block; empty once the frame has ended and its end was checked.
  std::string_view next_block();
  // Decodes to the end of the frame with every check applied.
  void drain();

  std::uint64_t decoded() const { return decoded_; }
  bool finished() const { return finished_; }
  // A failure raised while the tar reader was pulling data, kept for the final drain.
  const std::string& recorded_failure() const { return failure_; }
  void record_failure(std::string message) { failure_ = std::move(message); }

 private:
  void fill();
  bool at_end_of_file();

  struct ContextDeleter {
    void operator()(void* context) const;
  };

  ReadOnlyFile input_;
  std::unique_ptr<void, ContextDeleter> context_;
  std::unique_ptr<char[]> in_;
  std::unique_ptr<char[]> out_;
  std::size_t fill_ = 0;
  std::size_t position_ = 0;
  std::uint64_t bound_ = 0;
  std::uint64_t decoded_ = 0;
  bool finished_ = false;
  std::string failure_;
};

// Files × 8,192 + expanded length + 10,240, overflow-checked (size_limit).
std::uint64_t snapshot_expansion_bound(std::uint64_t file_count, std::uint64_t expanded_length);

}  // namespace tovra
