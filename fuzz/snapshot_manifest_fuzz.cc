// Snapshot manifests: a parsed document is accepted as an inventory or refused with an Error.
#include "core/json.h"
#include "fuzz_support.h"
#include "package/release_manifest.h"
#include "package/snapshot_manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tovra;
  fuzz::refusals_are_errors([&] {
    const Json document = parse_json(fuzz::bytes_of(data, size), manifest_read_limit);
    const SnapshotManifest manifest = parse_snapshot_manifest(document);
    // An accepted inventory keeps its own promises.
    std::uint64_t total = 0;
    for (const auto& [path, file] : manifest.files) total += file.length;
    if (total != manifest.expanded_length || manifest.sha256.size() != 64) std::abort();
    longest_path_length(manifest);
  });
  return 0;
}
