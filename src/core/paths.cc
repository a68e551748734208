#include "core/paths.h"

#include <iterator>
#include <stdexcept>

#include "core/error.h"
#include "core/text.h"
#include "platform/read_file.h"

namespace tovra {
namespace {

constexpr std::size_t kMaxRelativePath = 4096;
constexpr std::size_t kMaxComponent = 255;

char upper_ascii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9, judged on the part before the first dot.
bool is_reserved_device_name(std::string_view name) {
  std::string stem(name.substr(0, name.find('.')));
  for (char& c : stem) c = upper_ascii(c);
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") return true;
  return stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) && stem[3] >= '1' &&
         stem[3] <= '9';
}

}  // namespace

void check_relative_path(std::string_view text, bool portable) {
  require(!text.empty() && text.size() <= kMaxRelativePath && text.front() != '/' &&
              text.find('\\') == std::string_view::npos && text.find('\0') == std::string_view::npos,
          "unsafe_path", "Path must be a safe relative path");

  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = text.find('/', start);
    const std::string_view component =
        text.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    require(!component.empty() && component != "." && component != ".." && component.size() <= kMaxComponent &&
                component.find(':') == std::string_view::npos,
            "unsafe_path", "Path contains an unsafe component");
    if (portable) {
      bool clean = component.back() != '.' && component.back() != ' ';
      for (char c : component) {
        if (static_cast<unsigned char>(c) < 0x20 || std::string_view("<>\"|?*").find(c) != std::string_view::npos)
          clean = false;
      }
      require(clean, "unsafe_path", "Path is not portable across supported platforms");
      require(!is_reserved_device_name(component), "unsafe_path", "Path uses a reserved platform name");
    }
    if (slash == std::string_view::npos) return;
    require(slash + 1 < text.size(), "unsafe_path", "Trailing path separator is not allowed");
    start = slash + 1;
  }
}

void check_identifier(std::string_view text) {
  bool valid = !text.empty() && text.size() <= 80 && text != "." && text != "..";
  for (char c : text) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-')) valid = false;
  }
  require(valid, "invalid_identity", "Game and build IDs use lower-case letters, digits, dots and hyphens");
  check_relative_path(text, true);
}

void check_brand_name(std::string_view text) {
  bool valid = !text.empty() && text.size() <= 64 && text.front() != ' ' && text.back() != ' ' && text.back() != '.';
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos)
      valid = false;
  }
  require(valid, "invalid_native_package",
          "A brand name is 1 to 64 bytes and also names a folder: no control characters, none of "
          "< > : \" / \\ | ? *, and no leading space or trailing space or dot");
  require(!is_reserved_device_name(text), "invalid_native_package", "A brand name cannot be a Windows device name");
}

std::filesystem::path native_path(std::string_view text) {
  require(text.find('\0') == std::string_view::npos, "unsafe_path", "Native path contains a NUL byte");
  if (!is_valid_utf8(text)) throw std::range_error("Path text is not valid UTF-8");
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::filesystem::path managed_path(const std::filesystem::path& root, std::string_view text, bool portable) {
  std::filesystem::path joined;
  ManagedNames(root, portable).join(text, joined);
  return joined;
}

PathKind ManagedNames::join(std::string_view relative, std::filesystem::path& joined, std::optional<PathKind> seen) {
  check_relative_path(relative, portable_);
  joined = root_;
  PathKind kind = PathKind::missing;
  const std::filesystem::path names = native_path(relative);
  for (auto it = names.begin(); it != names.end(); ++it) {
    joined /= *it;
    const bool last = std::next(it) == names.end();
    if (!last && folders_.count(joined) != 0) continue;
    kind = last && seen ? *seen : path_kind(joined);
    require(kind != PathKind::link, "unsafe_path", "Managed path contains a symbolic link");
    require(kind != PathKind::reparse && !(kind == PathKind::directory && mounted_folder(joined)), "unsafe_path",
            "Managed path contains a reparse point");
    require(kind != PathKind::unknown, "file_read", "Cannot inspect path: " + utf8_path(joined));
    if (kind == PathKind::directory) folders_.insert(joined);
  }
  return kind;
}

std::string utf8_path(const std::filesystem::path& path) {
  std::filesystem::path native = path;
  const std::u8string text = native.make_preferred().u8string();
  return std::string(text.begin(), text.end());
}

std::string utf8_generic_path(const std::filesystem::path& path) {
  const std::u8string text = path.generic_u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace tovra
