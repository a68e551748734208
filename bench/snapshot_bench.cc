// Measures a full snapshot extraction (archive hash, bounded decode, prepared files, re-hash,
// tree verification, directory syncs) against `zstd -dc | tar -x` followed by `sync` on the same
// archive, the peak memory of the extraction, and (where strace is installed) the system calls
// the extraction makes per file.
//
// For the small files it also measures the flush floor: the same files written plainly and each
// flushed on the installer's flush pool, which no extraction that flushes every file can beat.
//
// usage: snapshot_bench [WORK_DIR] [LAUNCHER_BYTES] [LAUNCHER_FILES] [SMALL_FILES] [SMALL_FILE_BYTES]
// defaults: /tmp, 1,000 MiB in 4,000 files, 100,000 files of 1,024 bytes.

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <unistd.h>
#include <zstd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_support.h"
#include "core/digest.h"
#include "core/error.h"
#include "package/snapshot_manifest.h"
#include "platform/prepared_file.h"
#include "snapshot/extract.h"

namespace fs = std::filesystem;
using tovra::SnapshotManifest;

namespace {

struct WriterDeleter {
  void operator()(struct archive* writer) const { archive_write_free(writer); }
};
struct EntryDeleter {
  void operator()(struct archive_entry* entry) const { archive_entry_free(entry); }
};
struct ContextDeleter {
  void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

void check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error("bench: " + what);
}

// Streams tar bytes through one Zstandard frame into a file, so a large archive needs no memory.
class FrameSink {
 public:
  explicit FrameSink(const fs::path& path) : out_(path, std::ios::binary | std::ios::trunc), context_(ZSTD_createCCtx()) {
    check(out_.good() && context_ != nullptr, "cannot open " + path.string());
    ZSTD_CCtx_setParameter(context_.get(), ZSTD_c_compressionLevel, 3);
    buffer_.resize(ZSTD_CStreamOutSize());
  }
  void push(const void* data, std::size_t size, ZSTD_EndDirective mode) {
    ZSTD_inBuffer input{data, size, 0};
    for (;;) {
      ZSTD_outBuffer output{buffer_.data(), buffer_.size(), 0};
      const std::size_t left = ZSTD_compressStream2(context_.get(), &output, &input, mode);
      check(!ZSTD_isError(left), "compression");
      out_.write(buffer_.data(), static_cast<std::streamsize>(output.pos));
      const bool done = mode == ZSTD_e_end ? left == 0 : input.pos == input.size;
      if (done) break;
    }
    check(out_.good(), "archive write");
  }
  void finish() {
    push(nullptr, 0, ZSTD_e_end);
    out_.close();
  }

 private:
  std::ofstream out_;
  std::unique_ptr<ZSTD_CCtx, ContextDeleter> context_;
  std::string buffer_;
};

la_ssize_t to_sink(struct archive*, void* client, const void* buffer, size_t length) {
  static_cast<FrameSink*>(client)->push(buffer, length, ZSTD_e_continue);
  return static_cast<la_ssize_t>(length);
}

SnapshotManifest write_snapshot(const fs::path& archive, std::uint64_t total_bytes, std::uint64_t files) {
  SnapshotManifest manifest;
  manifest.build_id = "bench";
  manifest.platform = "linux-x86_64";
  manifest.target = archive.filename().string();
  FrameSink sink(archive);
  std::unique_ptr<struct archive, WriterDeleter> writer(archive_write_new());
  check(writer && archive_write_set_format_pax_restricted(writer.get()) == ARCHIVE_OK &&
            archive_write_open(writer.get(), &sink, nullptr, to_sink, nullptr) == ARCHIVE_OK,
        "tar writer");
  tovra::bench::Content content;
  std::string data;
  for (std::uint64_t i = 0; i < files; ++i) {
    const std::uint64_t size = total_bytes / files + (i < total_bytes % files ? 1 : 0);
    // Spread over folders of at most 256 files, as real releases are.
    std::string path = "d";
    path += std::to_string(i / 4096) + "/s" + std::to_string(i / 256 % 16) + "/f" + std::to_string(i) + ".bin";
    content.fill(data, static_cast<std::size_t>(size));
    std::unique_ptr<struct archive_entry, EntryDeleter> entry(archive_entry_new());
    archive_entry_set_pathname(entry.get(), path.c_str());
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    archive_entry_set_perm(entry.get(), i == 0 ? 0755 : 0644);
    archive_entry_set_size(entry.get(), static_cast<la_int64_t>(size));
    check(archive_write_header(writer.get(), entry.get()) == ARCHIVE_OK, "tar header");
    if (size > 0)
      check(archive_write_data(writer.get(), data.data(), data.size()) == static_cast<la_ssize_t>(data.size()),
            "tar data");
    manifest.files[path] = tovra::SnapshotFile{size, tovra::digest_hex(data, "sha256"), i == 0};
    manifest.expanded_length += size;
    if (i == 0) manifest.executable = path;
  }
  check(archive_write_close(writer.get()) == ARCHIVE_OK, "tar close");
  writer.reset();
  sink.finish();
  manifest.length = fs::file_size(archive);
  manifest.sha256 = tovra::hash_file(archive, "sha256", {});
  return manifest;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The kernel's own high-water mark of resident memory, reset before the measured extraction.
void reset_peak_memory() { std::ofstream("/proc/self/clear_refs") << "5"; }

double peak_memory_mib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return -1.0;
}

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

// Each file created, written and closed after its flush on the installer's pool: what flushing
// every file costs on this disk, apart from everything else an extraction does.
double flush_floor(const fs::path& folder, std::uint64_t files, std::uint64_t file_bytes) {
  fs::create_directories(folder);
  std::string bytes;
  tovra::bench::Content().fill(bytes, static_cast<std::size_t>(file_bytes));
  const auto start = std::chrono::steady_clock::now();
  {
    tovra::FlushPool pool;
    for (std::uint64_t i = 0; i < files; ++i) {
      const fs::path path = folder / std::to_string(i);
      tovra::unique_fd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
      check(file.valid() && ::write(file.get(), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()),
            "cannot write " + path.string());
      pool.submit(std::move(file));
    }
    pool.finish();
  }
  const double seconds = seconds_since(start);
  fs::remove_all(folder);
  return seconds;
}

void run(const fs::path& work, const std::string& label, std::uint64_t bytes, std::uint64_t files) {
  const fs::path archive = work / (label + ".tar.zst");
  const fs::path ours = work / (label + "-extracted");
  const fs::path theirs = work / (label + "-reference");
  fs::remove_all(ours);
  fs::remove_all(theirs);

  const SnapshotManifest manifest = write_snapshot(archive, bytes, files);
  const double mib = static_cast<double>(manifest.expanded_length) / (1024.0 * 1024.0);

  reset_peak_memory();
  auto start = std::chrono::steady_clock::now();
  tovra::extract_snapshot(manifest, archive, ours);
  const double full = seconds_since(start);
  const double peak = peak_memory_mib();

  fs::create_directories(theirs);
  const std::string command = "zstd -q -dc " + quoted(archive) + " | tar -x -C " + quoted(theirs) + " && sync";
  start = std::chrono::steady_clock::now();
  check(std::system(command.c_str()) == 0, "reference extraction");
  const double reference = seconds_since(start);

  std::printf("%s: %llu files, %.1f MiB expanded, %.1f MiB archive\n", label.c_str(),
              static_cast<unsigned long long>(files), mib,
              static_cast<double>(manifest.length) / (1024.0 * 1024.0));
  std::printf("  full extraction    %8.2f s  %8.1f MiB/s\n", full, mib / full);
  std::printf("  zstd|tar -x; sync  %8.2f s  %8.1f MiB/s\n", reference, mib / reference);
  std::printf("  ratio              %8.2f x\n", full / reference);
  std::printf("  peak memory        %8.1f MiB (resident, during the full extraction)\n", peak);
  if (label == "small-files") {
    const double floor = flush_floor(work / "flush-floor", files, manifest.expanded_length / files);
    std::printf("  flush floor        %8.2f s  (%.2f x the reference: create, write, flush on the pool)\n", floor,
                floor / reference);
  }
  std::fflush(stdout);

  fs::remove_all(ours);
  fs::remove_all(theirs);
  fs::remove(archive);
}

// Markers that stand out in a system call trace: what lies between them is the extraction.
const char* const kBegin = "/tovra-bench-mark-begin";
const char* const kEnd = "/tovra-bench-mark-end";

// Run under strace by count_calls: one extraction between the markers.
void traced_extraction(const fs::path& work, std::uint64_t files, std::uint64_t file_bytes) {
  const fs::path archive = work / "traced.tar.zst", dest = work / "traced-extracted";
  fs::remove_all(dest);
  const SnapshotManifest manifest = write_snapshot(archive, files * file_bytes, files);
  std::error_code ignored;
  static_cast<void>(fs::exists(kBegin, ignored));
  tovra::extract_snapshot(manifest, archive, dest);
  static_cast<void>(fs::exists(kEnd, ignored));
  fs::remove_all(dest);
  fs::remove(archive);
}

// System calls per file of one extraction, every thread counted; nothing when strace is missing.
void count_calls(const fs::path& work, const char* self, std::uint64_t files, std::uint64_t file_bytes) {
  const fs::path trace = work / "calls.trace";
  const std::string command = "strace -f -qq -o " + quoted(trace) + " " + quoted(fs::absolute(self)) +
                              " --traced " + quoted(work) + " " + std::to_string(files) + " " +
                              std::to_string(file_bytes) + " >/dev/null 2>&1";
  if (std::system("command -v strace >/dev/null 2>&1") != 0 || std::system(command.c_str()) != 0) {
    std::printf("  system calls       (strace unavailable)\n");
    return;
  }
  std::ifstream in(trace);
  std::string line;
  std::uint64_t calls = 0;
  bool inside = false;
  while (std::getline(in, line)) {
    if (line.find(kBegin) != std::string::npos) inside = true;
    else if (line.find(kEnd) != std::string::npos) inside = false;
    // An interrupted call appears twice; its resumption is not another call.
    else if (inside && line.find("resumed>") == std::string::npos && line.find("+++") == std::string::npos &&
             line.find("---") == std::string::npos)
      ++calls;
  }
  fs::remove(trace);
  std::printf("  system calls       %8.1f per file (%llu files of %llu bytes)\n",
              static_cast<double>(calls) / static_cast<double>(files), static_cast<unsigned long long>(files),
              static_cast<unsigned long long>(file_bytes));
  std::fflush(stdout);
}

std::uint64_t argument(int argc, char** argv, int index, std::uint64_t fallback) {
  return argc > index ? std::stoull(argv[index]) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  return tovra::bench::run_reporting([&] {
    tovra::initialize_crypto();
    if (argc == 5 && std::string(argv[1]) == "--traced") {
      traced_extraction(argv[2], std::stoull(argv[3]), std::stoull(argv[4]));
      return;
    }
    const fs::path work = fs::path(argc > 1 ? argv[1] : "/tmp") / "tovra-snapshot-bench";
    const std::uint64_t launcher_bytes = argument(argc, argv, 2, std::uint64_t{1000} << 20);
    const std::uint64_t launcher_files = argument(argc, argv, 3, 4000);
    const std::uint64_t small_files = argument(argc, argv, 4, 100000);
    const std::uint64_t small_bytes = argument(argc, argv, 5, 1024);
    check(launcher_files > 0 && small_files > 0, "file counts must be positive");
    fs::remove_all(work);
    fs::create_directories(work);
    fs::permissions(work, fs::perms::owner_all);
    run(work, "launcher", launcher_bytes, launcher_files);
    run(work, "small-files", small_files * small_bytes, small_files);
    std::printf("extraction under strace:\n");
    count_calls(work, argv[0], 2000, 1024);
    count_calls(work, argv[0], 500, 65536);
    fs::remove_all(work);
  });
}
