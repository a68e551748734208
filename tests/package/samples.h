#pragma once
// Shared test inputs: valid release manifests to mutate, and a checker for expected problems.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/test_util.h"
#include "core/json.h"
#include "package/package.h"

namespace tovra::testing {

using builder::bmp_image;

inline const std::string kDigest(64, 'a');

inline Json inventory_file(const std::string& path, std::uint64_t length, int mode) {
  return Json{{"path", path}, {"length", length}, {"mode", mode}, {"sha256", kDigest}};
}

// Refreshes expanded_length after a test changed the inventory.
inline void sum_lengths(Json& document) {
  std::uint64_t sum = 0;
  for (const Json& file : document["files"]) sum += file["length"].get<std::uint64_t>();
  document["expanded_length"] = sum;
}

inline Json snapshot_document(const std::string& platform, const std::string& executable) {
  Json document{{"schema_version", 1},
                {"build_id", "build-1.0"},
                {"platform", platform},
                {"executable", executable},
                {"archive", {{"format", "tar.zst-v1"}, {"target", "snapshot.tar.zst"}, {"length", 100}, {"sha256", kDigest}}},
                {"files", Json::array({inventory_file(executable, 10, 493), inventory_file("share/readme.txt", 5, 420)})}};
  sum_lengths(document);
  return document;
}

inline Json bootstrap_document() {
  Json document = snapshot_document("windows-x86_64", "bin/tovra-bootstrap.exe");
  document["kind"] = "tovra-bootstrap-release";
  document["bootstrap_abi"] = 1;
  document["gui_executable"] = "bin/tovra-bootstrap-gui.exe";
  document["files"].push_back(inventory_file("bin/tovra-bootstrap-gui.exe", 7, 493));
  sum_lengths(document);
  return document;
}

inline Json launcher_document() {
  Json document = snapshot_document("windows-x86_64", "bin/tovra-launcher.exe");
  document["kind"] = "tovra-launcher-release";
  document["bootstrap_abi"] = 1;
  document["health_abi"] = 1;
  document["application_schema"] = {{"minimum", 1}, {"maximum", 3}};
  document["runtime_lease_abi"] = 2;
  document["staging_abi"] = 1;
  document["console_interrupt_abi"] = 1;
  document["gui_executable"] = "bin/tovra-launcher-gui.exe";
  document["runtime_helpers"] = Json::array({{{"path", "bin/crash.exe"}, {"role", "crash-handler"}, {"lease_abi", 1}}});
  document["files"].push_back(inventory_file("bin/tovra-launcher-gui.exe", 8, 493));
  document["files"].push_back(inventory_file("bin/crash.exe", 9, 493));
  sum_lengths(document);
  return document;
}

// The builder's theme, which passes every contrast rule.
inline Json theme_definition() { return parse_json(builder::default_theme_definition(), 65536); }

struct Problem {
  std::string code;
  std::string message;
};

// Runs `action`, which must raise an Error with exactly this code and message.
inline void expect_problem(const std::function<void()>& action, const Problem& expected, const std::string& context = "") {
  EXPECT_EQ(outcome(action), expected.code + ": " + expected.message) << context;
}

// A change to a valid document and the problem it must raise.
struct Mutation {
  const char* name;
  std::function<void(Json&)> edit;
  Problem expected;
};

// Applies each mutation to a fresh document from `make`, and expects `read` to refuse it.
inline void expect_each(const std::vector<Mutation>& cases, const std::function<Json()>& make,
                        const std::function<void(const Json&)>& read) {
  for (const Mutation& c : cases) {
    Json document = make();
    c.edit(document);
    expect_problem([&] { read(document); }, c.expected, c.name);
  }
}

}  // namespace tovra::testing
