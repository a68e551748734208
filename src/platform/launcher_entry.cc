// The launcher-entry writer that every backend shares: text bounds, the bootstrap's program
// header, the checks on paths and fields, and the steps done inside held folders. The entry's
// own format and the few calls that differ are the backend's (launcher_entry_native.h).
#include "platform/launcher_entry.h"

#include <algorithm>
#include <cstdint>

#include "core/error.h"
#include "core/paths.h"
#include "core/text.h"
#include "platform/launcher_entry_native.h"
#include "platform/read_file.h"
#include "platform/storage.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
namespace ws = windows_security;
namespace native = launcher_entry_native;

constexpr std::size_t kMaxBootstrapRead = 65536;
constexpr std::size_t kMaxTargetUnits = 260;     // the target must be shorter
constexpr std::size_t kMaxArgumentUnits = 8192;  // the arguments must be shorter
constexpr std::size_t kMaxNameBytes = 512;
constexpr std::size_t kMaxPathBytes = 4096;

std::uint32_t read_u16(std::string_view bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[offset])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[offset + 1])) << 8;
}

std::uint32_t read_u32(std::string_view bytes, std::size_t offset) {
  return read_u16(bytes, offset) | read_u16(bytes, offset + 2) << 16;
}

[[noreturn]] void not_windowed() {
  throw Error("shortcut_bootstrap", "Use the AMD64 windowed bootstrap for Windows menu shortcuts");
}

// Reads the bootstrap through the held file so the checked file is the one described.
void require_windowed_bootstrap(const unique_fd& file) {
  require(file.valid() && native::single_link_file(file), "shortcut_bootstrap",
          "Windows bootstrap must be an ordinary single-link file");
  std::string header(kMaxBootstrapRead, '\0');
  require(native::read_start(file, header) && header.size() >= 64, "shortcut_bootstrap",
          "Cannot inspect Windows bootstrap image");
  require_windowed_bootstrap_image(header);
}

}  // namespace

void require_shortcut_text(std::string_view text, std::size_t maximum) {
  const bool bounded = !text.empty() && text.size() <= maximum &&
                       std::none_of(text.begin(), text.end(), [](char c) {
                         const auto byte = static_cast<unsigned char>(c);
                         return byte < 0x20 || byte == 0x7F;
                       });
  require(bounded, "shortcut_text", "Shortcut text must be bounded and contain no control characters");
  require(is_valid_utf8(text), "shortcut_text", "Shortcut text must be valid UTF-8");
}

void require_windowed_bootstrap_image(std::string_view header) {
  const std::size_t size = header.size();
  if (size < 64 || read_u16(header, 0) != 0x5A4D) not_windowed();
  const std::size_t e = read_u32(header, 60);
  if (e < 64 || e > size || size - e < 94) not_windowed();
  if (read_u32(header, e) != 0x00004550) not_windowed();
  if (read_u16(header, e + 4) != 0x8664) not_windowed();
  if (read_u16(header, e + 20) < 70) not_windowed();
  const std::uint32_t characteristics = read_u16(header, e + 22);
  if ((characteristics & 0x0002) == 0 || (characteristics & 0x2000) != 0) not_windowed();
  if (read_u16(header, e + 24) != 0x20B) not_windowed();
  if (read_u16(header, e + 92) != 2) not_windowed();
}

std::string checked_launcher_entry_path(const fs::path& path) {
  require_shortcut_text(utf8_generic_path(path), kMaxPathBytes);
  ws::require_local_storage(path);
  require(path.is_absolute() && path == path.lexically_normal() && path.has_filename() && path != path.root_path(),
          "shortcut_path", "Windows shortcut paths must be absolute and normalized");
  (void)ws::destination_identity(path.parent_path(), true);
  return utf8_path(path);
}

bool inside_launcher_payload(const fs::path& path) {
  for (fs::path dir = path.parent_path(); dir.has_relative_path(); dir = dir.parent_path()) {
    if ((native::same_name(dir.filename(), "versions") || native::same_name(dir.filename(), "staging")) &&
        native::same_name(dir.parent_path().filename(), "launcher")) {
      return true;
    }
  }
  return false;
}

LauncherEntryFields prepare_launcher_entry(const DesktopShortcut& shortcut) {
  LauncherEntryFields fields;
  fields.target = checked_launcher_entry_path(shortcut.bootstrap);
  fields.data_root = checked_launcher_entry_path(shortcut.data_root);
  const fs::path icon = native_path(fields.data_root) / "native" / "brand.ico";
  fields.icon = path_kind(icon) == PathKind::file ? utf8_path(icon) : fields.target;
  require_shortcut_text(shortcut.name, kMaxNameBytes);
  if (!shortcut.game_id.empty()) check_identifier(shortcut.game_id);
  require(!inside_launcher_payload(shortcut.bootstrap), "shortcut_bootstrap",
          "Windows shortcuts require the stable bootstrap outside staged or versioned launchers");
  require(utf16_length(fields.target) < kMaxTargetUnits, "shortcut_path",
          "Windows Shell Link target exceeds the native path bound");
  (void)ws::destination_identity(shortcut.data_root, true);
  fields.working_directory = utf8_path(native_path(fields.target).parent_path());
  fields.description = shortcut.name;
  fields.arguments = {"--data-dir", fields.data_root, "--gui"};
  if (!shortcut.game_id.empty()) {
    fields.arguments.push_back("--game");
    fields.arguments.push_back(shortcut.game_id);
  }
  require(native::argument_line_units(fields.arguments) < kMaxArgumentUnits, "shortcut_text",
          "Windows shortcut arguments exceed their bound");
  return fields;
}

std::string launcher_entry_image(const DesktopShortcut& shortcut) {
  const LauncherEntryFields fields = prepare_launcher_entry(shortcut);
  const fs::path target = native_path(fields.target);
  std::string image;
  // The bootstrap's folder stays held while the file is inspected and the entry is built.
  ws::with_directory_chain(target.parent_path(), [&](const ws::DirectoryChain& chain) {
    require_windowed_bootstrap(native::open_bootstrap(chain, target));
    image = serialize_launcher_entry(fields);
  });
  return image;
}

void create_launcher_entry(const DesktopShortcut& shortcut, const fs::path& destination, std::string* image) {
  const LauncherEntryFields fields = prepare_launcher_entry(shortcut);
  const fs::path checked = native_path(checked_launcher_entry_path(destination));
  require(native::same_name(checked.extension(), launcher_entry_extension()), "shortcut_path",
          "Windows shortcut destination must end in .lnk");
  const char separator = static_cast<char>(fs::path::preferred_separator);
  const std::string parent = ws::destination_identity(checked.parent_path(), true);
  std::string data = ws::destination_identity(native_path(fields.data_root), true);
  if (data.empty() || data.back() != separator) data += separator;
  const bool inside = parent + separator == data || parent.starts_with(data);
  require(!inside && !inside_launcher_payload(checked), "shortcut_path",
          "Windows shortcuts must be outside application data and managed launcher payloads");
  // Everything below happens in the held folder, so a replaced ancestor cannot redirect it.
  ws::with_directory_chain(checked.parent_path(), [&](const ws::DirectoryChain& chain) {
    require(native::nothing_at(chain, checked), "already_exists",
            "Windows shortcut destination already exists; it was preserved");
    const std::string bytes = launcher_entry_image(shortcut);
    native::create_file(chain, checked, bytes);
    if (image != nullptr) *image = bytes;
  });
}

void remove_launcher_file(const fs::path& path) {
  const fs::path normal = native::absolute_normal(path);
  const std::string message = "Cannot remove " + utf8_generic_path(normal);
  require(normal.has_filename(), "file_remove", message);
  ws::with_directory_chain(normal.parent_path(), [&](const ws::DirectoryChain& chain) {
    require(native::remove_file(chain, normal), "file_remove", message);
  });
}

}  // namespace tovra
