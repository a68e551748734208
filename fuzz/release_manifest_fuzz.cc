// Bootstrap and launcher release manifests from raw bytes; the first byte picks the reader.
#include "fuzz_support.h"
#include "package/release_manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tovra;
  if (size == 0) return 0;
  const std::string_view bytes = fuzz::bytes_of(data + 1, size - 1);
  fuzz::refusals_are_errors([&] {
    if (data[0] & 1) {
      const LauncherManifest launcher = parse_initial_launcher(bytes);
      if (launcher.files.count(launcher.gui_executable) == 0) std::abort();
    } else {
      const SnapshotManifest bootstrap = parse_bootstrap_manifest(bytes);
      if (bootstrap.files.count(bootstrap_shortcut_program(bootstrap)) == 0) std::abort();
    }
  });
  return 0;
}
