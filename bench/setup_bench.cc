// Measures, in one run on one installation: a repair of an intact installation against the
// SHA-256 of the files it has to read (the package it verifies first, then the installed files it
// checks), and the time `status` takes.
//
// usage: setup_bench [WORK_DIR] [LAUNCHER_BYTES] [LAUNCHER_FILES]
// defaults: /tmp, 256 MiB in 1,000 files (the package is built in memory).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "core/digest.h"
#include "core/error.h"
#include "package/package.h"
#include "setup/workflows.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Every ordinary file below the folder, hashed once.
double hash_tree(const fs::path& folder) {
  const auto start = Clock::now();
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file()) tovra::hash_file(entry.path(), "sha256", {});
  return seconds_since(start);
}

}  // namespace

int main(int argc, char** argv) {
  return tovra::bench::run_reporting([&] {
    const fs::path work = fs::path(argc > 1 ? argv[1] : "/tmp") / "tovra-setup-bench";
    const std::uint64_t bytes = argc > 2 ? std::stoull(argv[2]) : std::uint64_t{256} << 20;
    const std::uint64_t files = argc > 3 ? std::stoull(argv[3]) : 1000;
    fs::remove_all(work);
    fs::create_directories(work);

    tovra::builder::PackageOptions options;
    options.launcher.snapshot.zstd.level = 3;  // the package is only the means here
    tovra::bench::Content content;
    auto& payload = options.launcher.files;
    for (std::uint64_t i = 0; i < files; ++i) {
      const std::uint64_t size = bytes / files + (i < bytes % files ? 1 : 0);
      const std::string name = "data/s" + std::to_string(i / 256) + "/f" + std::to_string(i) + ".bin";
      content.fill(payload[name].content, static_cast<std::size_t>(size));
    }
    const std::string seal = tovra::builder::build_package(options, work / "package");
    payload.clear();

    tovra::NativeInstallRequest request;
    request.package = work / "package";
    request.data_dir = work / "data";
    request.create_shortcut = false;
    auto start = Clock::now();
    tovra::NativeInstaller::install(request, seal, {});
    const double install = seconds_since(start);

    request.repair = true;
    start = Clock::now();
    tovra::NativeInstaller::install(request, seal, {});
    const double repair = seconds_since(start);
    const double package_hashing = hash_tree(request.package);
    const double installed_hashing = hash_tree(request.data_dir);
    const double hashing = package_hashing + installed_hashing;

    std::vector<double> runs;
    for (int i = 0; i < 21; ++i) {
      start = Clock::now();
      tovra::setup_status(request.data_dir);
      runs.push_back(seconds_since(start) * 1000);
    }
    std::sort(runs.begin(), runs.end());

    std::printf("installation: %llu launcher files, %.1f MiB\n", static_cast<unsigned long long>(files),
                static_cast<double>(bytes) / (1 << 20));
    std::printf("  install            %8.2f s\n", install);
    std::printf("  repair (intact)    %8.2f s\n", repair);
    std::printf("  SHA-256, package   %8.2f s\n", package_hashing);
    std::printf("  SHA-256, installed %8.2f s\n", installed_hashing);
    std::printf("  ratio              %8.2f x (repair against both hashes)\n", repair / hashing);
    std::printf("  status             %8.1f ms (median of 21)\n", runs[runs.size() / 2]);
    fs::remove_all(work);
  });
}
