#include <gtest/gtest.h>

#include "package/release_manifest.h"
#include "package/snapshot_manifest.h"
#include "samples.h"

namespace tovra::testing {
namespace {

const Problem kMalformedSnapshot{"invalid_manifest", "Snapshot manifest has missing or malformed fields"};
const Problem kFileCount{"size_limit", "Package file count exceeds bounds"};
const Problem kArchiveBound{"size_limit", "Snapshot exceeds archive size bounds"};
const Problem kAscii{"invalid_manifest", "The v1 package profile requires ASCII file paths"};

Json two_files(const std::string& first, const std::string& second) {
  Json document = snapshot_document("linux-x86_64", "run");
  document["files"] = Json::array({inventory_file("run", 1, 493), inventory_file(first, 1, 420), inventory_file(second, 1, 420)});
  sum_lengths(document);
  return document;
}

TEST(SnapshotManifest, RefusesEachRuleWithItsProblem) {
  const std::vector<Mutation> cases{
      {"schema 2", [](Json& d) { d["schema_version"] = 2; }, {"unsupported_schema", "Unsupported snapshot schema; nothing was rewritten"}},
      {"schema missing", [](Json& d) { d.erase("schema_version"); }, kMalformedSnapshot},
      {"build id", [](Json& d) { d["build_id"] = "Build"; }, {"invalid_identity", "Game and build IDs use lower-case letters, digits, dots and hyphens"}},
      {"platform", [](Json& d) { d["platform"] = "linux-arm64"; }, {"invalid_manifest", "Unknown snapshot platform"}},
      {"executable path", [](Json& d) { d["executable"] = "../run"; }, {"unsafe_path", "Path contains an unsafe component"}},
      {"format", [](Json& d) { d["archive"]["format"] = "tar.gz-v1"; }, {"invalid_manifest", "Unsupported snapshot format"}},
      {"archive length zero", [](Json& d) { d["archive"]["length"] = 0; }, kArchiveBound},
      {"archive length 2^42+1", [](Json& d) { d["archive"]["length"] = (std::uint64_t{1} << 42) + 1; }, kArchiveBound},
      {"files empty", [](Json& d) { d["files"] = Json::array(); }, kFileCount},
      {"tab in path", [](Json& d) { d["files"][1]["path"] = "a\tb"; }, {"unsafe_path", "Path is not portable across supported platforms"}},
      {"non-ASCII path", [](Json& d) { d["files"][1]["path"] = "caf\xC3\xA9"; }, kAscii},
      {"DEL in path", [](Json& d) { d["files"][1]["path"] = "a\x7F"; }, kAscii},
      {"mode 0777", [](Json& d) { d["files"][1]["mode"] = 511; },
       {"invalid_manifest", "Package modes must be 0644 or 0755"}},
      {"executable not executable", [](Json& d) { d["files"][0]["mode"] = 420; }, {"invalid_manifest", "Declared executable is missing or not executable"}},
      {"expanded one more", [](Json& d) { d["expanded_length"] = d["expanded_length"].get<std::uint64_t>() + 1; }, {"invalid_manifest", "Expanded length differs from file inventory"}},
  };
  expect_each(cases, [] { return snapshot_document("windows-x86_64", "bin/tovra-bootstrap.exe"); },
              [](const Json& d) { parse_snapshot_manifest(d); });
}

TEST(SnapshotManifest, PathCollisionsIgnoreOnlyAsciiCase) {
  const struct {
    const char* first;
    const char* second;
    const char* message;
  } cases[] = {
      {"Notes", "notes", "Package contains duplicate or case-colliding paths"},
      {"Bin/a", "bin/b", "Package directories differ only in case"},
      {"Lib", "lib/x", "Package directories differ only in case"},
      {"lib", "lib/x", "Package file is another file's parent directory"},
      {"a/b/c", "a/b", "Package file is another file's parent directory"},
  };
  for (const auto& c : cases) {
    expect_problem([&] { parse_snapshot_manifest(two_files(c.first, c.second)); }, {"path_collision", c.message},
                   std::string(c.first) + " + " + c.second);
  }
  EXPECT_EQ(parse_snapshot_manifest(two_files("Bin/a", "Bin/b")).files.size(), 3u);
  EXPECT_EQ(parse_snapshot_manifest(two_files("lib.d/x", "lib")).files.size(), 3u);
}

TEST(SnapshotManifest, ParsesInventoryInPathOrderUpToItsBounds) {
  Json document = snapshot_document("windows-x86_64", "bin/tovra-bootstrap.exe");
  document["unknown"] = {{"kept", true}};
  document["archive"]["length"] = std::uint64_t{1} << 42;
  Json& files = document["files"];
  files[0]["length"] = files[1]["length"] = std::uint64_t{1} << 41;
  files.push_back(inventory_file("a/empty", 0, 420));
  for (int i = 3; i < 100000; ++i) files.push_back(inventory_file("f" + std::to_string(i), 0, 420));
  sum_lengths(document);
  const SnapshotManifest manifest = parse_snapshot_manifest(document);
  EXPECT_EQ(manifest.files.begin()->first, "a/empty");
  EXPECT_TRUE(manifest.files.at("bin/tovra-bootstrap.exe").executable);
  EXPECT_FALSE(manifest.files.at("share/readme.txt").executable);
  EXPECT_EQ(manifest.document.at("unknown").at("kept"), true);
  EXPECT_EQ(longest_path_length(manifest), std::string("bin/tovra-bootstrap.exe").size());

  Json one_more = document;
  one_more["files"].push_back(inventory_file("extra", 0, 420));
  expect_problem([&] { parse_snapshot_manifest(one_more); }, kFileCount);
  files[1]["length"] = (std::uint64_t{1} << 41) + 1;
  sum_lengths(document);
  expect_problem([&] { parse_snapshot_manifest(document); }, {"size_limit", "Expanded package exceeds size bounds"});
}

TEST(BootstrapManifest, AcceptsEachPlatformsEntryPoints) {
  const SnapshotManifest manifest = parse_bootstrap_manifest(bootstrap_document().dump());
  EXPECT_EQ(bootstrap_shortcut_program(manifest), "bin/tovra-bootstrap-gui.exe");

  Json plain = bootstrap_document();
  plain.erase("gui_executable");
  plain["files"].erase(0);
  sum_lengths(plain);
  EXPECT_EQ(bootstrap_shortcut_program(parse_bootstrap_manifest(plain.dump())), "bin/tovra-bootstrap.exe");

  // Other platforms: no .exe entry and no GUI entry; macOS declares its shortcut helper.
  Json other = snapshot_document("linux-x86_64", "bin/tovra-bootstrap");
  other.update(builder::bootstrap_release_fields(""));
  EXPECT_NO_THROW(parse_bootstrap_manifest(other.dump()));
  other["platform"] = "macos-aarch64";
  other["shortcut_executable"] = "bin/TovraShortcut.app/Contents/MacOS/tovra-shortcut";
  other["files"].push_back(inventory_file("bin/TovraShortcut.app/Contents/MacOS/tovra-shortcut", 3, 493));
  other["files"].push_back(inventory_file("bin/TovraShortcut.app/Contents/Info.plist", 3, 420));
  sum_lengths(other);
  EXPECT_NO_THROW(parse_bootstrap_manifest(other.dump()));
}

TEST(BootstrapManifest, RefusesEachRuleWithItsProblem) {
  const Problem schema{"launcher_incompatible", "Initial bootstrap schema or ABI is unsupported"};
  const Problem entry{"launcher_incompatible", "Initial bootstrap has a missing or incompatible stable entry point"};
  const Problem gui{"invalid_native_package", "Initial bootstrap GUI entry must be its declared Windows windowed executable"};
  const Problem mac{"invalid_native_package", "macOS bootstrap launch documents need their declared native app helper and metadata"};
  const Problem helper{"invalid_native_package", "Initial bootstrap snapshot contains an undeclared executable helper"};
  const std::vector<Mutation> cases{
      {"bootstrap_abi 2", [](Json& d) { d["bootstrap_abi"] = 2; }, schema},
      {"windows entry without .exe", [](Json& d) { d["executable"] = d["files"][1]["path"] = "bin/tovra-bootstrap"; }, entry},
      {"gui entry other name", [](Json& d) { d["gui_executable"] = "bin/gui.exe"; }, gui},
      {"shortcut helper on windows",
       [](Json& d) { d["shortcut_executable"] = "bin/TovraShortcut.app/Contents/MacOS/tovra-shortcut"; }, mac},
      {"undeclared helper", [](Json& d) { d["files"].push_back(inventory_file("bin/updater.exe", 1, 493)); sum_lengths(d); }, helper},
      // Snapshot rules come first.
      {"snapshot rule first", [](Json& d) { d.erase("bootstrap_abi"); d["platform"] = "x"; }, {"invalid_manifest", "Unknown snapshot platform"}},
  };
  expect_each(cases, bootstrap_document, [](const Json& d) { parse_bootstrap_manifest(d.dump()); });
}

TEST(LauncherManifest, RefusesEachRuleWithItsProblem) {
  const Problem schema{"unsupported_schema", "Unsupported launcher manifest; existing installation was preserved"};
  const Problem abi{"launcher_incompatible", "This launcher needs another native bootstrap ABI"};
  const Problem lacks{"launcher_incompatible", "Launcher manifest lacks its runtime contract"};
  const Problem contract{"launcher_incompatible", "Unsupported launcher runtime contract"};
  const Problem bounds{"size_limit", "Launcher payload exceeds bounded native package limits"};
  const Problem list{"launcher_incompatible", "Native helper ownership must be a bounded list"};
  const Problem fields{"launcher_incompatible", "Native helper ownership fields are invalid"};
  const Problem ownership{"launcher_incompatible", "Unsupported native helper ownership contract"};
  const Problem overlap{"launcher_incompatible", "Native helper is missing, repeated or overlaps a frontend"};
  const Json crash{{"path", "bin/crash.exe"}, {"role", "crash-handler"}, {"lease_abi", 1}};
  const std::vector<Mutation> cases{
      {"schema 2", [](Json& d) { d["schema_version"] = 2; }, schema},
      {"kind missing", [](Json& d) { d.erase("kind"); },
       {"invalid_manifest", "Launcher manifest has missing or malformed fields"}},
      {"bootstrap_abi 2", [](Json& d) { d["bootstrap_abi"] = 2; }, abi},
      {"schema range above 1", [](Json& d) { d["application_schema"] = {{"minimum", 2}, {"maximum", 3}}; },
       {"launcher_incompatible", "This launcher cannot preserve the current application data schema"}},
      {"minimum 0", [](Json& d) { d["application_schema"]["minimum"] = std::uint64_t{0}; }, {"invalid_version", "Metadata version must be positive"}},
      {"runtime_lease_abi 1", [](Json& d) { d["runtime_lease_abi"] = 1; }, contract},
      {"no console_interrupt_abi", [](Json& d) { d.erase("console_interrupt_abi"); }, lacks},
      {"archive over 1 GiB", [](Json& d) { d["archive"]["length"] = 1073741825; }, bounds},
      {"expanded over 1 GiB",
       [](Json& d) { d["files"][1]["length"] = 1073741824; sum_lengths(d); }, bounds},
      {"gui not in inventory", [](Json& d) { d["gui_executable"] = "bin/none.exe"; }, {"invalid_manifest", "GUI launcher executable is missing or not executable"}},
      {"gui equals cli", [](Json& d) { d["gui_executable"] = "bin/tovra-launcher.exe"; }, {"invalid_manifest", "GUI and CLI need separate native entry points"}},
      {"17 helpers", [crash](Json& d) { d["runtime_helpers"] = Json(std::vector<Json>(17, crash)); }, list},
      {"helper fourth member", [](Json& d) { d["runtime_helpers"][0]["note"] = "x"; }, fields},
      {"helper role", [](Json& d) { d["runtime_helpers"][0]["role"] = "updater"; }, ownership},
      {"helper repeated", [crash](Json& d) { d["runtime_helpers"].push_back(crash); }, overlap},
      {"undeclared executable",
       [](Json& d) { d["files"].push_back(inventory_file("bin/extra.exe", 1, 493)); sum_lengths(d); },
       {"launcher_incompatible", "Every native helper needs declared lifetime ownership"}},
  };
  expect_each(cases, launcher_document, [](const Json& d) { parse_launcher_manifest(d); });
}

TEST(LauncherManifest, AcceptsCurrentContractsUpToItsBounds) {
  Json document = launcher_document();
  document["application_schema"] = {{"minimum", 1}, {"maximum", 7}};
  document["runtime_helpers"].push_back({{"path", "bin/maint.exe"}, {"role", "crash-handler"}, {"lease_abi", 1}});
  document["archive"]["length"] = 1073741824;
  Json& files = document["files"];
  files.push_back(inventory_file("bin/maint.exe", 1, 493));
  for (std::size_t i = files.size(); i < 4096; ++i) files.push_back(inventory_file("data/" + std::to_string(i), 0, 420));
  declare_expanded(1073741824)(document);
  EXPECT_EQ(parse_launcher_manifest(document).helpers, (std::set<std::string>{"bin/crash.exe", "bin/maint.exe"}));

  document["files"].push_back(inventory_file("data/last", 0, 420));
  expect_problem([&] { parse_launcher_manifest(document); },
                 {"size_limit", "Launcher payload exceeds bounded native package limits"});
}

}  // namespace
}  // namespace tovra::testing
