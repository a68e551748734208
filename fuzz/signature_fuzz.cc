// One signature check: KEY-RECORD NUL MESSAGE NUL SIGNATURE-HEX. verify_signature never raises.
#include "fuzz_support.h"
#include "trust/tuf.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tovra;
  fuzz::scratch();
  const auto [key_text, rest] = fuzz::split_at_nul(fuzz::bytes_of(data, size));
  const auto [message, signature] = fuzz::split_at_nul(rest);
  Json key;
  try {
    key = parse_json(key_text, 65536);
  } catch (const Error&) {
    return 0;
  }
  try {
    verify_signature(key, message, signature);
  } catch (...) {
    std::abort();
  }
  return 0;
}
