#include "platform/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include <memory>

#include "core/error.h"
#include "platform/win32/win32_support.h"

namespace tovra {
namespace {

struct LocalFreeArray {
  void operator()(LPWSTR* array) const noexcept { ::LocalFree(array); }
};

}  // namespace

std::string native_text_to_utf8(NativeTextView text) {
  require(text.size() <= kNativeTextUnits, "text_limit", "Native Unicode text exceeds its bound");
  if (text.empty()) return {};
  const int units = static_cast<int>(text.size());
  const int bytes = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), units, nullptr, 0, nullptr, nullptr);
  require(bytes >= 1, "text_encoding", "Native process text must contain valid Unicode");
  std::string out(static_cast<std::size_t>(bytes), '\0');
  const int written =
      ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), units, out.data(), bytes, nullptr, nullptr);
  require(written == bytes, "text_encoding", "Cannot convert native process text to UTF-8");
  return out;
}

std::vector<std::string> read_native_arguments(int /*argc*/, char** /*argv*/) {
  const wchar_t* line = ::GetCommandLineW();
  require(line != nullptr, "argument_encoding", "Cannot read native command line");
  std::size_t units = 0;
  while (units < kNativeCommandLineUnits && line[units] != L'\0') ++units;
  require(units < kNativeCommandLineUnits, "argument_limit", "Native command line exceeds the Windows bound");

  int count = 0;
  const std::unique_ptr<LPWSTR, LocalFreeArray> entries(::CommandLineToArgvW(line, &count));
  require(entries != nullptr && count >= 1, "argument_encoding", "Cannot parse native Unicode command line");
  require(static_cast<std::size_t>(count) <= kNativeArgumentEntries, "argument_limit",
          "Too many native command arguments");

  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(count) - 1);
  std::size_t total = 0;
  for (int i = 1; i < count; ++i) {
    std::string argument = native_text_to_utf8(entries.get()[i]);
    require(argument.size() <= kNativeArgumentBytes - total, "argument_limit",
            "Native command arguments exceed their total byte bound");
    total += argument.size();
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

}  // namespace tovra
