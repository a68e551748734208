#include "platform/command_line.h"

#include <cstddef>

#include "core/error.h"
#include "core/text.h"

namespace tovra {
namespace {

// UTF-16 units of the text; on invalid text every byte counts, which can only overestimate.
std::size_t units_of(std::string_view text) { return utf16_length_if_valid(text).value_or(text.size()); }

}  // namespace

std::string native_text_to_utf8(NativeTextView text) {
  require(units_of(text) <= kNativeTextUnits, "text_limit", "Native Unicode text exceeds its bound");
  if (text.empty()) return {};
  require(is_valid_utf8(text), "text_encoding", "Native process text must contain valid Unicode");
  return std::string(text);
}

std::vector<std::string> read_native_arguments(int argc, char** argv) {
  require(argv != nullptr && argc >= 1 && argv[0] != nullptr, "argument_encoding",
          "Cannot parse native Unicode command line");
  const auto entries = static_cast<std::size_t>(argc);

  // The raw line Windows would see: every entry with one separator or terminator unit.
  std::size_t line_units = 0;
  for (std::size_t i = 0; i < entries; ++i) {
    require(argv[i] != nullptr, "argument_encoding", "Cannot parse native Unicode command line");
    line_units += units_of(argv[i]) + 1;
    require(line_units < kNativeCommandLineUnits, "argument_limit",
            "Native command line exceeds the Windows bound");
  }
  require(entries <= kNativeArgumentEntries, "argument_limit", "Too many native command arguments");

  std::vector<std::string> arguments;
  arguments.reserve(entries - 1);
  std::size_t total = 0;
  for (std::size_t i = 1; i < entries; ++i) {
    std::string argument = native_text_to_utf8(argv[i]);
    require(argument.size() <= kNativeArgumentBytes - total, "argument_limit",
            "Native command arguments exceed their total byte bound");
    total += argument.size();
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

}  // namespace tovra
