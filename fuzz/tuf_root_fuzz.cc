// TUF root validation and threshold signature verification of an initial root, at a fixed time
// so that runs are reproducible.
#include <chrono>

#include "fuzz_support.h"
#include "trust/tuf.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tovra;
  using namespace std::chrono;
  static const UtcTime now = sys_days{year{2026} / 1 / 1};
  fuzz::scratch();
  const std::string_view bytes = fuzz::bytes_of(data, size);
  fuzz::refusals_are_errors_or_json([&] { check_initial_root(bytes, now); });
  fuzz::refusals_are_errors_or_json([&] {
    const Json document = parse_json(bytes, root_metadata_limit);
    validate_metadata(document, "root");
  });
  return 0;
}
