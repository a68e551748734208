#include "core/json.h"

#include <set>
#include <vector>

#include "core/error.h"
#include "core/paths.h"
#include "platform/read_file.h"

namespace tovra {
namespace {

constexpr std::size_t kReadChunk = 65536;
constexpr int kMaxDepth = 64;

void append_canonical_string(std::string& out, const std::string& text) {
  out.push_back('"');
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

void append_canonical(std::string& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::string:
      append_canonical_string(out, value.get_ref<const std::string&>());
      return;
    case Json::value_t::null:
    case Json::value_t::boolean:
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      out += value.dump();
      return;
    case Json::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& element : value) {
        if (!first) out.push_back(',');
        first = false;
        append_canonical(out, element);
      }
      out.push_back(']');
      return;
    }
    case Json::value_t::object: {
      // The library keeps object members in ascending byte order of their keys.
      out.push_back('{');
      bool first = true;
      for (const auto& [key, member] : value.items()) {
        if (!first) out.push_back(',');
        first = false;
        append_canonical_string(out, key);
        out.push_back(':');
        append_canonical(out, member);
      }
      out.push_back('}');
      return;
    }
    default:
      throw Error("invalid_number", "Cannot canonicalize floating point data");
  }
}

}  // namespace

std::string read_bounded_file(const std::filesystem::path& path, std::uint64_t limit) {
  ReadOnlyFile file = ReadOnlyFile::open(path);
  require(file.status() != ReadOnlyFile::OpenStatus::failed, "file_read", "Cannot open file: " + utf8_path(path));
  const auto size = file.ordinary_size();  // nothing when not open
  require(size.has_value(), "unsafe_path", "Expected an ordinary file: " + utf8_path(path));
  require(*size <= limit, "size_limit", "File exceeds read limit");
  require(*size <= std::string().max_size(), "size_limit", "File exceeds read limit");

  std::string bytes(static_cast<std::size_t>(*size), '\0');
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t want = std::min(kReadChunk, bytes.size() - done);
    const auto count = file.read(bytes.data() + done, want);
    require(count.has_value(), "file_read", "Cannot read file");
    require(*count != 0, "file_read", "File changed while reading");
    done += *count;
  }
  char extra = 0;
  const auto count = file.read(&extra, 1);
  require(count.has_value(), "file_read", "Cannot finish reading file");
  require(*count == 0, "file_read", "File changed while reading");
  return bytes;
}

Json parse_json(std::string_view text, std::uint64_t limit) {
  require(text.size() <= limit, "size_limit", "JSON exceeds its size limit");
  // The library would skip a byte-order mark; protocol text is plain UTF-8 without one.
  require(!text.starts_with("\xEF\xBB\xBF"), "invalid_json", "JSON text must not begin with a byte-order mark");

  std::vector<std::set<std::string>> keys;
  const Json::parser_callback_t check = [&keys](int depth, Json::parse_event_t event, Json& parsed) {
    require(depth <= kMaxDepth, "depth_limit", "JSON nesting exceeds 64 levels");
    switch (event) {
      case Json::parse_event_t::object_start:
        keys.emplace_back();
        break;
      case Json::parse_event_t::key:
        require(!keys.empty() && keys.back().insert(parsed.get<std::string>()).second, "duplicate_key",
                "JSON contains a duplicate object key");
        break;
      case Json::parse_event_t::object_end:
        if (!keys.empty()) keys.pop_back();
        break;
      case Json::parse_event_t::value:
        require(!parsed.is_number_float(), "invalid_number",
                "Floating point numbers are not allowed in protocol data");
        break;
      default:
        break;
    }
    return true;
  };

  try {
    return Json::parse(text.begin(), text.end(), check, /*allow_exceptions=*/true, /*ignore_comments=*/false);
  } catch (const Json::exception& error) {
    throw Error("invalid_json", error.what());
  }
}

std::string canonical_json(const Json& value) {
  std::string out;
  append_canonical(out, value);
  return out;
}

std::uint64_t metadata_version(const Json& value) {
  const bool positive_signed = value.is_number_integer() && !value.is_number_unsigned() && value.get<std::int64_t>() > 0;
  require(value.is_number_unsigned() || positive_signed, "invalid_version", "Metadata version must be a positive integer");
  const auto version = value.get<std::uint64_t>();
  require(version != 0, "invalid_version", "Metadata version must be positive");
  return version;
}

}  // namespace tovra
