// Protocol JSON: any bytes are parsed or refused with an Error, and whatever parses survives
// canonical serialisation unchanged.
#include "core/json.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tovra;
  fuzz::refusals_are_errors([&] {
    const Json value = parse_json(fuzz::bytes_of(data, size), 1u << 20);
    const std::string canonical = canonical_json(value);
    if (parse_json(canonical, canonical.size() + 1) != value) std::abort();
    fuzz::refusals_are_errors([&] { metadata_version(value); });
  });
  return 0;
}
