#include "shortcuts/ledger.h"

#include "core/digest.h"
#include "core/error.h"
#include "core/json.h"
#include "core/paths.h"
#include "platform/durable.h"
#include "platform/launcher_entry.h"
#include "platform/read_file.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxPathBytes = 4096;

[[noreturn]] void malformed(const fs::path& ledger) {
  throw Error("shortcut_ledger", "Shortcut list is malformed: " + utf8_generic_path(ledger));
}

[[noreturn]] void unsupported(const fs::path& ledger) {
  throw Error("shortcut_ledger", "Unsupported shortcut list " + utf8_generic_path(ledger));
}

struct RawEntry {
  std::string path, game, name, sha256;
};

std::vector<RawEntry> ledger_members(const Json& document, const fs::path& ledger) {
  std::vector<RawEntry> raw;
  try {
    const Json& schema = document.at("schema_version");
    if (!schema.is_number_integer() || schema != 1) unsupported(ledger);
    const Json& kind = document.at("kind");
    if (!kind.is_string() || kind != "tovra-shortcuts") unsupported(ledger);
    const Json& entries = document.at("entries");
    if (!entries.is_array() || entries.size() > kMaxShortcutEntries) unsupported(ledger);
    for (const Json& element : entries) {
      raw.push_back({element.at("path").get<std::string>(), element.at("game").get<std::string>(),
                     element.at("name").get<std::string>(), element.at("sha256").get<std::string>()});
    }
  } catch (const Json::exception&) {
    malformed(ledger);
  }
  return raw;
}

}  // namespace

fs::path shortcut_ledger_path(const fs::path& data_root) { return data_root / "native" / "shortcuts.json"; }

fs::path checked_shortcut_path(const fs::path& path) {
  require_shortcut_text(utf8_generic_path(path), kMaxPathBytes);
  // POSIX paths have no root name; the root directory is what makes them absolute.
  require(path.is_absolute() && path == path.lexically_normal(), "shortcut_path",
          "Shortcut paths must be absolute and normalized");
  return path;
}

std::vector<ShortcutEntry> read_shortcut_ledger(const fs::path& data_root) {
  const fs::path ledger = shortcut_ledger_path(data_root);
  if (path_kind(ledger) == PathKind::missing) return {};
  const std::string text = read_bounded_file(ledger, kShortcutLedgerLimit);
  Json document;
  try {
    document = parse_json(text, kShortcutLedgerLimit);
  } catch (const std::exception&) {
    malformed(ledger);
  }
  std::vector<ShortcutEntry> entries;
  for (RawEntry& raw : ledger_members(document, ledger)) {
    const fs::path path = checked_shortcut_path(native_path(raw.path));
    entries.push_back({path, std::move(raw.game), std::move(raw.name), std::move(raw.sha256)});
  }
  return entries;
}

void write_shortcut_ledger(const fs::path& data_root, const std::vector<ShortcutEntry>& entries) {
  const fs::path ledger = shortcut_ledger_path(data_root);
  if (entries.empty()) {
    remove_launcher_file(ledger);
    return;
  }
  Json list = Json::array();
  for (const ShortcutEntry& entry : entries) {
    list.push_back({{"path", utf8_generic_path(entry.path)}, {"game", entry.game}, {"name", entry.name}, {"sha256", entry.sha256}});
  }
  const Json document = {{"schema_version", 1}, {"kind", "tovra-shortcuts"}, {"entries", std::move(list)}};
  std::string text;
  try {
    text = document.dump();
  } catch (const Json::exception&) {
    throw Error("shortcut_text", "Shortcut text must be valid UTF-8");
  }
  write_private_file(ledger, text);
}

bool shortcut_unchanged(const ShortcutEntry& entry) {
  if (path_kind(entry.path) != PathKind::file) return false;
  return digest_hex(read_bounded_file(entry.path, kShortcutFileLimit), "sha256") == entry.sha256;
}

}  // namespace tovra
