// Extraction of a tar.zst stream against a fixed manifest. The first byte chooses whether the rest
// is the archive itself or a tar stream that is compressed here first (which lets the fuzzer work
// on tar headers). The manifest's archive length and digest are set to the input's, so the checks
// of the stream itself are what decides.
#include "fuzz_package.h"
#include "fuzz_support.h"
#include "package/snapshot_manifest.h"
#include "snapshot/extract.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tovra;
  namespace fs = std::filesystem;
  if (size == 0) return 0;
  static const SnapshotManifest base = [] {
    fuzz::scratch();
    const builder::PackedSnapshot packed =
        builder::pack_snapshot(fuzz::extraction_payload(), fuzz::extraction_options());
    return parse_snapshot_manifest(packed.manifest);
  }();
  const std::string_view rest = fuzz::bytes_of(data + 1, size - 1);
  builder::ZstdOptions fast;
  fast.level = 1;
  const std::string archive = (data[0] & 1) ? builder::zstd_compress(rest, fast) : std::string(rest);
  const fs::path archive_path = fuzz::scratch() / "snapshot.tar.zst";
  const fs::path destination = fuzz::scratch() / "extracted";
  fuzz::put_file(archive_path, archive);
  SnapshotManifest manifest = base;
  manifest.length = archive.size();
  manifest.sha256 = digest_hex(archive, "sha256");
  fuzz::refusals_are_errors([&] {
    extract_snapshot(manifest, archive_path, destination);
    // A finished extraction holds exactly the inventory, byte for byte.
    for (const auto& [path, file] : manifest.files) {
      if (fs::file_size(destination / path) != file.length) std::abort();
    }
  });
  fs::remove_all(destination);
  return 0;
}
