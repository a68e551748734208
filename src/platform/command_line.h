#pragma once
// The process's own command line as UTF-8 arguments, within the installer's bounds.
// Windows reads GetCommandLineW and splits it with CommandLineToArgvW (argc/argv are ignored);
// POSIX takes argv as given to main, each entry of which must be valid UTF-8.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tovra {

// Text in the operating system's own encoding: UTF-16 on Windows, UTF-8 bytes on POSIX.
using NativeTextView = std::basic_string_view<std::filesystem::path::value_type>;

// Largest raw command line, in UTF-16 units (exclusive).
inline constexpr std::size_t kNativeCommandLineUnits = 32767;
// Program name plus at most 256 arguments.
inline constexpr std::size_t kNativeArgumentEntries = 257;
// Bound of one native text (UTF-16 units) and of all arguments together (UTF-8 bytes).
inline constexpr std::size_t kNativeTextUnits = 131072;
inline constexpr std::size_t kNativeArgumentBytes = 131072;

// The arguments after the program name, as UTF-8.
std::vector<std::string> read_native_arguments(int argc, char** argv);

// Converts native text to UTF-8, refusing invalid text and text over kNativeTextUnits.
std::string native_text_to_utf8(NativeTextView text);

}  // namespace tovra
