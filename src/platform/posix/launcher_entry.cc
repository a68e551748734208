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
#include "platform/launcher_entry_native.h"
#include "platform/posix/durable_at.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
namespace ws = windows_security;

constexpr std::size_t kMaxImageBytes = 32768;
// The newest Desktop Entry version that Debian 12's desktop-file-validate knows; nothing newer is used.
constexpr std::string_view kEntryVersion = "1.4";

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

namespace launcher_entry_native {

bool same_name(const fs::path& name, std::string_view lower_ascii) {
  const std::string text = utf8_path(name);
  return std::equal(text.begin(), text.end(), lower_ascii.begin(), lower_ascii.end(), [](char c, char lower) {
    return (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) == lower;
  });
}

std::size_t argument_line_units(const std::vector<std::string>& arguments) {
  return utf16_length(quoted_arguments(arguments));
}

fs::path absolute_normal(const fs::path& path) { return fs::absolute(path).lexically_normal(); }

unique_fd open_bootstrap(const ws::DirectoryChain& chain, const fs::path& target) {
  return unique_fd(::openat(chain.target().get(), target.filename().c_str(),
                            O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
}

bool single_link_file(const unique_fd& file) {
  struct stat st {};
  return ::fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1;
}

bool read_start(const unique_fd& file, std::string& header) {
  std::size_t filled = 0;
  while (filled < header.size()) {
    const ssize_t got = ::pread(file.get(), header.data() + filled, header.size() - filled,
                                static_cast<off_t>(filled));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  header.resize(filled);
  return true;
}

bool nothing_at(const ws::DirectoryChain& chain, const fs::path& path) {
  struct stat st {};
  return ::fstatat(chain.target().get(), path.filename().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
}

void create_file(const ws::DirectoryChain& chain, const fs::path& path, std::string_view content) {
  create_owned_file_at(chain.target().get(), path, content);
}

bool remove_file(const ws::DirectoryChain& chain, const fs::path& path) {
  return ::unlinkat(chain.target().get(), path.filename().c_str(), 0) == 0 || errno == ENOENT;
}

}  // namespace launcher_entry_native

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
