#include "snapshot/decoder.h"

#include <zstd.h>

#include <cstring>

#include "core/error.h"

namespace tovra {
namespace {

constexpr unsigned char kFrameMagic[4] = {0x28, 0xB5, 0x2F, 0xFD};
constexpr int kWindowLogMax = 26;

std::uint64_t checked_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum = 0;
  require(!__builtin_add_overflow(a, b, &sum), "size_limit", "Decoded tar stream exceeds authenticated expansion bounds");
  return sum;
}

}  // namespace

void BoundedSnapshotDecoder::ContextDeleter::operator()(void* context) const {
  ZSTD_freeDCtx(static_cast<ZSTD_DCtx*>(context));
}

std::uint64_t snapshot_expansion_bound(std::uint64_t file_count, std::uint64_t expanded_length) {
  std::uint64_t headers = 0;
  require(!__builtin_mul_overflow(file_count, std::uint64_t{8192}, &headers), "size_limit",
          "Decoded tar stream exceeds authenticated expansion bounds");
  return checked_add(checked_add(headers, expanded_length), 10240);
}

BoundedSnapshotDecoder::BoundedSnapshotDecoder(const std::filesystem::path& archive, std::uint64_t expansion_bound)
    : input_(ReadOnlyFile::open(archive)),
      context_(ZSTD_createDCtx()),
      in_(new char[kBufferSize]),
      out_(new char[kBufferSize]),
      bound_(expansion_bound) {
  require(input_.is_open() && context_ != nullptr, "archive", "Cannot open bounded snapshot decoder");
  const size_t set = ZSTD_DCtx_setParameter(static_cast<ZSTD_DCtx*>(context_.get()), ZSTD_d_windowLogMax,
                                            kWindowLogMax);
  require(!ZSTD_isError(set), "archive", "Cannot set the 64 MiB decoder window limit");
  fill();
  // Skippable frames and any other leading data are refused here.
  require(fill_ >= 4 && std::memcmp(in_.get(), kFrameMagic, 4) == 0, "archive",
          "Snapshot must contain exactly one ordinary Zstandard frame");
}

BoundedSnapshotDecoder::~BoundedSnapshotDecoder() = default;

void BoundedSnapshotDecoder::fill() {
  const auto count = input_.read(in_.get(), kBufferSize);
  require(count.has_value(), "archive", "Snapshot read failed");
  position_ = 0;
  fill_ = *count;
}

bool BoundedSnapshotDecoder::at_end_of_file() {
  fill();
  return fill_ == 0;
}

std::string_view BoundedSnapshotDecoder::next_block() {
  if (finished_) return {};
  auto* context = static_cast<ZSTD_DCtx*>(context_.get());
  std::size_t produced = 0;
  bool flushing = false;  // the last call filled the output, so the decoder may still hold data
  while (produced == 0 && !finished_) {
    if (position_ == fill_) {
      fill();
      // The decoder may hold output that needs no more input; let it flush once before judging.
      require(fill_ != 0 || flushing, "archive", "Snapshot frame is truncated");
    }
    ZSTD_inBuffer input{in_.get(), fill_, position_};
    ZSTD_outBuffer output{out_.get(), kBufferSize, 0};
    const size_t result = ZSTD_decompressStream(context, &output, &input);
    require(!ZSTD_isError(result), "archive", "Snapshot decoding failed or exceeds the 64 MiB window limit");
    position_ = input.pos;
    require(bound_ - decoded_ >= output.pos, "size_limit", "Decoded tar stream exceeds authenticated expansion bounds");
    produced = output.pos;
    if (result == 0) {
      const bool clean = position_ == fill_ && at_end_of_file();
      require(clean, "archive", "Trailing or concatenated Zstandard frames are forbidden");
      finished_ = true;
    } else if (fill_ == 0 && produced == 0) {
      throw Error("archive", "Snapshot frame is truncated");
    }
    flushing = output.pos == output.size;
  }
  decoded_ += produced;
  return {out_.get(), produced};
}

void BoundedSnapshotDecoder::drain() {
  require(failure_.empty(), "archive", failure_);
  while (!finished_) next_block();
}

}  // namespace tovra
