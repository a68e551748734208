#include "package/release_manifest.h"

#include "core/error.h"
#include "core/paths.h"
#include "package/json_rules.h"

namespace tovra {
namespace {

using package_detail::integer_equals;
using package_detail::member_integer_equals;

constexpr const char* kWindows = "windows-x86_64";
constexpr const char* kMac = "macos-aarch64";
constexpr const char* kGuiEntry = "bin/tovra-bootstrap-gui.exe";
constexpr const char* kShortcutHelper = "bin/TovraShortcut.app/Contents/MacOS/tovra-shortcut";
constexpr const char* kShortcutInfo = "bin/TovraShortcut.app/Contents/Info.plist";

bool holds_executable(const SnapshotManifest& manifest, const std::string& path) {
  const auto found = manifest.files.find(path);
  return found != manifest.files.end() && found->second.executable;
}

void check_bootstrap(const SnapshotManifest& manifest) {
  const Json& document = manifest.document;
  require(member_integer_equals(document, "schema_version", 1) && member_integer_equals(document, "bootstrap_abi", 1) &&
              document.contains("kind") && document["kind"] == "tovra-bootstrap-release",
          "launcher_incompatible", "Initial bootstrap schema or ABI is unsupported");
  const std::string& platform = manifest.platform;
  require(platform == "linux-x86_64" || platform == kWindows || platform == kMac, "launcher_incompatible",
          "Initial bootstrap targets an unsupported platform");
  const std::string entry = platform == kWindows ? "bin/tovra-bootstrap.exe" : "bin/tovra-bootstrap";
  require(manifest.executable == entry && holds_executable(manifest, entry), "launcher_incompatible",
          "Initial bootstrap has a missing or incompatible stable entry point");

  const bool has_gui = document.contains("gui_executable");
  if (has_gui) {
    require(platform == kWindows && document["gui_executable"] == kGuiEntry && holds_executable(manifest, kGuiEntry),
            "invalid_native_package", "Initial bootstrap GUI entry must be its declared Windows windowed executable");
  }
  const bool has_shortcut = document.contains("shortcut_executable");
  if (has_shortcut) {
    const auto info = manifest.files.find(kShortcutInfo);
    require(platform == kMac && document["shortcut_executable"] == kShortcutHelper &&
                holds_executable(manifest, kShortcutHelper) && info != manifest.files.end() && !info->second.executable,
            "invalid_native_package",
            "macOS bootstrap launch documents need their declared native app helper and metadata");
  }
  for (const auto& [path, file] : manifest.files) {
    if (!file.executable) continue;
    require(path == entry || (has_gui && path == kGuiEntry) || (has_shortcut && path == kShortcutHelper),
            "invalid_native_package", "Initial bootstrap snapshot contains an undeclared executable helper");
  }
}

LauncherManifest parse_launcher(const Json& document) {
  require(document.is_object(), "unsupported_schema",
          "Unsupported launcher manifest; existing installation was preserved");
  require(integer_equals(document.at("schema_version"), 1) && document.at("kind") == "tovra-launcher-release",
          "unsupported_schema", "Unsupported launcher manifest; existing installation was preserved");
  require(integer_equals(document.at("bootstrap_abi"), 1) && integer_equals(document.at("health_abi"), 1),
          "launcher_incompatible", "This launcher needs another native bootstrap ABI");
  const Json& schema = document.at("application_schema");
  const std::uint64_t minimum = metadata_version(schema.at("minimum"));
  metadata_version(schema.at("maximum"));
  require(minimum <= 1, "launcher_incompatible", "This launcher cannot preserve the current application data schema");

  LauncherManifest manifest;
  static_cast<SnapshotManifest&>(manifest) = parse_snapshot_manifest(document);
  require_runtime_contract(document, "runtime_lease_abi", manifest.runtime_lease_abi);
  require_runtime_contract(document, "staging_abi", manifest.staging_abi);
  require_runtime_contract(document, "console_interrupt_abi", manifest.console_interrupt_abi);
  require(manifest.length <= max_launcher_bytes && manifest.expanded_length <= max_launcher_bytes &&
              manifest.files.size() <= max_launcher_files,
          "size_limit", "Launcher payload exceeds bounded native package limits");

  manifest.gui_executable = document.at("gui_executable").get<std::string>();
  check_relative_path(manifest.gui_executable, true);
  require(holds_executable(manifest, manifest.gui_executable), "invalid_manifest",
          "GUI launcher executable is missing or not executable");
  require(manifest.gui_executable != manifest.executable, "invalid_manifest",
          "GUI and CLI need separate native entry points");

  const Json& helpers = document.at("runtime_helpers");
  require(helpers.is_array() && helpers.size() <= 16, "launcher_incompatible",
          "Native helper ownership must be a bounded list");
  for (const Json& helper : helpers) {
    require(helper.is_object() && helper.size() == 3 && helper.contains("path") && helper.contains("role") &&
                helper.contains("lease_abi"),
            "launcher_incompatible", "Native helper ownership fields are invalid");
    std::string path = helper["path"].get<std::string>();
    const std::string role = helper["role"].get<std::string>();
    require((role == "crash-handler" || role == "maintenance" || role == "maintenance-gui") &&
                integer_equals(helper["lease_abi"], 1),
            "launcher_incompatible", "Unsupported native helper ownership contract");
    require(path != manifest.executable && path != manifest.gui_executable && holds_executable(manifest, path) &&
                !manifest.helpers.contains(path),
            "launcher_incompatible", "Native helper is missing, repeated or overlaps a frontend");
    manifest.helpers.insert(std::move(path));
  }
  for (const auto& [path, file] : manifest.files) {
    if (!file.executable) continue;
    require(path == manifest.executable || path == manifest.gui_executable || manifest.helpers.contains(path),
            "launcher_incompatible", "Every native helper needs declared lifetime ownership");
  }
  return manifest;
}

}  // namespace

SnapshotManifest parse_bootstrap_manifest(std::string_view bytes) {
  SnapshotManifest manifest = parse_snapshot_manifest(parse_json(bytes, manifest_read_limit));
  check_bootstrap(manifest);
  return manifest;
}

LauncherManifest parse_launcher_manifest(const Json& document) {
  try {
    return parse_launcher(document);
  } catch (const Json::exception&) {
    throw Error("invalid_manifest", "Launcher manifest has missing or malformed fields");
  }
}

LauncherManifest parse_initial_launcher(std::string_view bytes) {
  LauncherManifest manifest = parse_launcher_manifest(parse_json(bytes, manifest_read_limit));
  require(manifest.runtime_lease_abi == 2 && manifest.staging_abi == 1, "launcher_incompatible",
          "The initial launcher needs the current runtime contracts");
  return manifest;
}

void require_runtime_contract(const Json& document, const char* key, std::uint64_t expected) {
  const auto found = document.find(key);
  require(found != document.end(), "launcher_incompatible", "Launcher manifest lacks its runtime contract");
  require(integer_equals(*found, expected), "launcher_incompatible", "Unsupported launcher runtime contract");
}

std::string bootstrap_shortcut_program(const SnapshotManifest& bootstrap) {
  const auto gui = bootstrap.document.find("gui_executable");
  if (gui != bootstrap.document.end() && gui->is_string()) return gui->get<std::string>();
  return bootstrap.executable;
}

}  // namespace tovra
