// Protocol JSON: any bytes are parsed or refused with an Error, and whatever parses survives
// canonical serialisation unchanged.
#include "core/json.h"
#include "fuzz_support.h"

namespace {

// Canonical text writes control characters raw, which no JSON parser takes back; outside strings
// it has none, so escaping each one recovers a document that must read as the same value.
std::string escape_controls(const std::string& canonical) {
  static const char hex[] = "0123456789abcdef";
  std::string text;
  for (const char c : canonical) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20) {
      text += c;
    } else {
      text += "\\u00";
      text += hex[byte >> 4];
      text += hex[byte & 15];
    }
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tovra;
  Json value;
  try {
    value = parse_json(fuzz::bytes_of(data, size), 1u << 20);
  } catch (const Error&) {
    return 0;
  }
  // A value that parsed must serialise and read back; a refusal here is a finding too.
  try {
    const std::string text = escape_controls(canonical_json(value));
    if (parse_json(text, text.size()) != value) std::abort();
  } catch (const Error&) {
    std::abort();
  }
  fuzz::refusals_are_errors([&] { metadata_version(value); });
  return 0;
}
