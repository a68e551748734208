#include "platform/launcher_entry.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/error.h"
#include "core/paths.h"
#include "core/text.h"
#include "platform/posix/durable_at.h"
#include "platform/read_file.h"
#include "platform/storage.h"
#include "platform/unique_fd.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
namespace ws = windows_security;

constexpr std::size_t kMaxImageBytes = 32768;
constexpr std::size_t kMaxBootstrapRead = 65536;
constexpr std::size_t kMaxTargetUnits = 260;   // the target must be shorter
constexpr std::size_t kMaxArgumentUnits = 8192;  // the arguments must be shorter
constexpr std::size_t kMaxNameBytes = 512;
constexpr std::size_t kMaxPathBytes = 4096;
// The newest Desktop Entry version that Debian 12's desktop-file-validate knows; nothing newer is used.
constexpr std::string_view kEntryVersion = "1.4";

std::string lower_ascii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Reads the bootstrap through the held descriptor so the checked file is the one described.
void require_windowed_bootstrap(const unique_fd& file) {
  struct stat st {};
  require(file.valid() && ::fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1,
          "shortcut_bootstrap", "Windows bootstrap must be an ordinary single-link file");
  std::string header(kMaxBootstrapRead, '\0');
  std::size_t filled = 0;
  while (filled < header.size()) {
    const ssize_t got = ::pread(file.get(), header.data() + filled, header.size() - filled,
                                static_cast<off_t>(filled));
    if (got < 0 && errno == EINTR) continue;
    require(got >= 0, "shortcut_bootstrap", "Cannot inspect Windows bootstrap image");
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  header.resize(filled);
  require(filled >= 64, "shortcut_bootstrap", "Cannot inspect Windows bootstrap image");
  require_windowed_bootstrap_image(header);
}

bool exec_special(char c) { return c == '"' || c == '`' || c == '$' || c == '\\'; }

// Option names are written bare; the values of --data-dir and --game are always quoted.
std::string quoted_arguments(const std::vector<std::string>& arguments) {
  std::string line;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) line += ' ';
    const bool value = i > 0 && (arguments[i - 1] == "--data-dir" || arguments[i - 1] == "--game");
    line += value ? desktop_entry::quote_exec_argument(arguments[i]) : arguments[i];
  }
  return line;
}

std::string exec_line(const LauncherEntryFields& fields) {
  std::string line = desktop_entry::quote_exec_argument(fields.target);
  line += ' ';
  line += quoted_arguments(fields.arguments);
  return line;
}

bool valid_key(std::string_view key) {
  if (key.empty()) return false;
  return std::all_of(key.begin(), key.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
  });
}

bool unescape_value(std::string_view raw, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\') {
      out += raw[i];
      continue;
    }
    if (++i == raw.size()) return false;
    switch (raw[i]) {
      case 's': out += ' '; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      case '\\': out += '\\'; break;
      default: return false;
    }
  }
  return true;
}

bool split_exec(std::string_view value, std::vector<std::string>& args) {
  args.clear();
  std::size_t i = 0;
  while (i < value.size()) {
    if (value[i] == ' ') {
      ++i;
      continue;
    }
    std::string arg;
    if (value[i] == '"') {
      for (++i;; ++i) {
        if (i == value.size()) return false;  // unterminated quote
        if (value[i] == '"') break;
        if (value[i] == '\\') {
          if (++i == value.size() || !exec_special(value[i])) return false;
        } else if (exec_special(value[i])) {
          return false;  // '`' and '$' must be escaped inside quotes
        }
        arg += value[i];
      }
      ++i;
      if (i < value.size() && value[i] != ' ') return false;
    } else {
      for (; i < value.size() && value[i] != ' '; ++i) {
        if (exec_special(value[i]) || value[i] == '\'') return false;  // reserved outside quotes
        arg += value[i];
      }
    }
    std::string plain;
    for (std::size_t k = 0; k < arg.size(); ++k) {
      if (arg[k] == '%') {
        if (k + 1 == arg.size() || arg[k + 1] != '%') return false;  // we write no field codes
        ++k;
      }
      plain += arg[k];
    }
    args.push_back(std::move(plain));
  }
  return true;
}

}  // namespace

std::string_view launcher_entry_extension() { return ".desktop"; }

std::string checked_launcher_entry_path(const fs::path& path) {
  require_shortcut_text(utf8_generic_path(path), kMaxPathBytes);
  ws::require_local_storage(path);
  require(path.has_root_directory() && path == path.lexically_normal() && path.has_filename() &&
              path != path.root_path(),
          "shortcut_path", "Windows shortcut paths must be absolute and normalized");
  (void)ws::destination_identity(path.parent_path(), true);
  return path.native();
}

bool inside_launcher_payload(const fs::path& path) {
  for (fs::path dir = path.parent_path(); !dir.empty() && dir != dir.root_path(); dir = dir.parent_path()) {
    const std::string name = lower_ascii(utf8_path(dir.filename()));
    if ((name == "versions" || name == "staging") &&
        lower_ascii(utf8_path(dir.parent_path().filename())) == "launcher") {
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
  fields.icon = path_kind(icon) == PathKind::file ? icon.native() : fields.target;
  require_shortcut_text(shortcut.name, kMaxNameBytes);
  if (!shortcut.game_id.empty()) check_identifier(shortcut.game_id);
  require(!inside_launcher_payload(shortcut.bootstrap), "shortcut_bootstrap",
          "Windows shortcuts require the stable bootstrap outside staged or versioned launchers");
  require(utf16_length(fields.target) < kMaxTargetUnits, "shortcut_path",
          "Windows Shell Link target exceeds the native path bound");
  (void)ws::destination_identity(shortcut.data_root, true);
  fields.working_directory = native_path(fields.target).parent_path().native();
  fields.description = native_path(shortcut.name).native();
  fields.arguments = {"--data-dir", fields.data_root, "--gui"};
  if (!shortcut.game_id.empty()) {
    fields.arguments.push_back("--game");
    fields.arguments.push_back(shortcut.game_id);
  }
  require(utf16_length(quoted_arguments(fields.arguments)) < kMaxArgumentUnits, "shortcut_text", "Windows shortcut arguments exceed their bound");
  return fields;
}

std::string serialize_launcher_entry(const LauncherEntryFields& fields) {
  using desktop_entry::escape_value;
  std::string image = "[Desktop Entry]\nType=Application\nVersion=" + std::string(kEntryVersion) + "\n";
  image += "Name=" + escape_value(fields.description) + "\n";
  image += "Exec=" + escape_value(exec_line(fields)) + "\n";
  image += "Path=" + escape_value(fields.working_directory) + "\n";
  image += "Icon=" + escape_value(fields.icon) + "\n";
  image += "Terminal=false\n";
  require(image.size() <= kMaxImageBytes, "size_limit", "Windows shortcut image exceeds 32 KiB");
  std::string mismatch;
  if (!desktop_entry::verify(image, fields, mismatch)) {
    throw Error("shortcut_api", "Native shortcut serialization changed its " + mismatch);
  }
  return image;
}

std::string launcher_entry_image(const DesktopShortcut& shortcut) {
  const LauncherEntryFields fields = prepare_launcher_entry(shortcut);
  const fs::path target(fields.target);
  std::string image;
  // The bootstrap's folder stays held while the file is inspected and the entry is built.
  ws::with_directory_chain(target.parent_path(), [&](const ws::DirectoryChain& chain) {
    const unique_fd file(::openat(chain.target().get(), target.filename().c_str(),
                                  O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    require_windowed_bootstrap(file);
    image = serialize_launcher_entry(fields);
  });
  return image;
}

void create_launcher_entry(const DesktopShortcut& shortcut, const fs::path& destination, std::string* image) {
  const LauncherEntryFields fields = prepare_launcher_entry(shortcut);
  const fs::path checked(checked_launcher_entry_path(destination));
  require(lower_ascii(utf8_path(checked.extension())) == launcher_entry_extension(), "shortcut_path",
          "Windows shortcut destination must end in .lnk");
  const std::string parent = ws::destination_identity(checked.parent_path(), true);
  std::string data = ws::destination_identity(fields.data_root, true);
  if (data.empty() || data.back() != '/') data += '/';
  const bool inside = parent + "/" == data || parent.rfind(data, 0) == 0;
  require(!inside && !inside_launcher_payload(checked), "shortcut_path",
          "Windows shortcuts must be outside application data and managed launcher payloads");
  // Everything below happens in the held folder, so a replaced ancestor cannot redirect it.
  ws::with_directory_chain(checked.parent_path(), [&](const ws::DirectoryChain& chain) {
    struct stat st {};
    const bool missing = ::fstatat(chain.target().get(), checked.filename().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 &&
                         errno == ENOENT;
    require(missing, "already_exists", "Windows shortcut destination already exists; it was preserved");
    const std::string bytes = launcher_entry_image(shortcut);
    create_owned_file_at(chain.target().get(), checked, bytes);
    if (image != nullptr) *image = bytes;
  });
}

void remove_launcher_file(const fs::path& path) {
  const fs::path normal = fs::absolute(path).lexically_normal();
  const std::string message = "Cannot remove " + utf8_generic_path(normal);
  require(normal.has_filename(), "file_remove", message);
  ws::with_directory_chain(normal.parent_path(), [&](const ws::DirectoryChain& chain) {
    const int result = ::unlinkat(chain.target().get(), normal.filename().c_str(), 0);
    require(result == 0 || errno == ENOENT, "file_remove", message);
  });
}

namespace desktop_entry {

std::string escape_value(std::string_view value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case ' ':
        // Readers strip blanks around the value; keep leading and trailing ones.
        if (i == 0 || i + 1 == value.size()) {
          out += "\\s";
        } else {
          out += ' ';
        }
        break;
      default: out += c;
    }
  }
  return out;
}

std::string quote_exec_argument(std::string_view argument) {
  std::string out = "\"";
  for (const char c : argument) {
    if (exec_special(c)) out += '\\';
    out += c;
    if (c == '%') out += '%';
  }
  out += '"';
  return out;
}

bool parse(std::string_view image, ParsedEntry& entry, std::string& problem) {
  entry = ParsedEntry{};
  bool in_group = false;
  std::size_t start = 0;
  while (start < image.size()) {
    std::size_t end = image.find('\n', start);
    if (end == std::string_view::npos) end = image.size();
    const std::string_view line = image.substr(start, end - start);
    start = end + 1;
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      if (in_group || line != "[Desktop Entry]") {
        problem = "unexpected group";
        return false;
      }
      in_group = true;
      continue;
    }
    if (!in_group) {
      problem = "entry before the group";
      return false;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      problem = "line without a key";
      return false;
    }
    std::string_view key = line.substr(0, equals);
    while (!key.empty() && key.back() == ' ') key.remove_suffix(1);
    std::string_view raw = line.substr(equals + 1);
    while (!raw.empty() && raw.front() == ' ') raw.remove_prefix(1);
    std::string value;
    if (!valid_key(key) || !unescape_value(raw, value) || !is_valid_utf8(value)) {
      problem = "malformed entry " + std::string(key);
      return false;
    }
    if (!entry.keys.emplace(std::string(key), std::move(value)).second) {
      problem = "duplicate key " + std::string(key);
      return false;
    }
  }
  if (!in_group) {
    problem = "missing group";
    return false;
  }
  const auto exec = entry.keys.find("Exec");
  if (exec != entry.keys.end() && !split_exec(exec->second, entry.exec)) {
    problem = "malformed Exec";
    return false;
  }
  return true;
}

bool verify(std::string_view image, const LauncherEntryFields& fields, std::string& mismatch) {
  const auto differs = [&](const char* name) {
    mismatch = name;
    return false;
  };
  if (image.empty() || image.size() > kMaxImageBytes) return differs("size");
  ParsedEntry entry;
  std::string problem;
  if (!parse(image, entry, problem) || entry.exec.empty()) return differs("link fields");
  // Any key beyond the fixed set could make a desktop resolve, activate or expand something else.
  static const std::set<std::string> expected_keys = {"Type", "Version", "Name", "Exec", "Path", "Icon", "Terminal"};
  std::set<std::string> keys;
  for (const auto& [key, value] : entry.keys) keys.insert(key);
  if (keys != expected_keys) return differs("flags");
  if (std::vector<std::string>(entry.exec.begin() + 1, entry.exec.end()) != fields.arguments) {
    return differs("arguments");
  }
  const auto& field = entry.keys;
  if (entry.exec.front() != fields.target) return differs("target");
  if (field.at("Path") != fields.working_directory) return differs("working directory");
  if (field.at("Icon") != fields.icon) return differs("icon");
  if (field.at("Name") != fields.description) return differs("description");
  if (field.at("Type") != "Application" || field.at("Version") != kEntryVersion || field.at("Terminal") != "false") {
    return differs("presentation");
  }
  return true;
}

}  // namespace desktop_entry
}  // namespace tovra
