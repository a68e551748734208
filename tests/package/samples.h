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

// A manifest as the builder writes it for `files`; the archive itself is not made.
inline Json release_document(const builder::Payload& files, builder::SnapshotOptions options, const Json& fields) {
  options.target = "snapshot.tar.zst";
  options.release_fields = fields;
  return builder::snapshot_manifest(files, options, "archive");
}

inline Json snapshot_document(const std::string& platform, const std::string& executable) {
  builder::SnapshotOptions options;
  options.platform = platform;
  options.executable = executable;
  return release_document({{executable, {"program", true}}, {"share/readme.txt", {"hello", false}}}, options, {});
}

inline Json bootstrap_document() {
  const builder::ReleaseOptions release = builder::default_bootstrap();
  return release_document(release.files, release.snapshot, builder::bootstrap_release_fields(release.gui_executable));
}

// The builder's launcher with one crash handler.
inline Json launcher_document() {
  builder::ReleaseOptions release = builder::default_launcher();
  release.files["bin/crash.exe"] = {"crash", true};
  release.helpers = {{"bin/crash.exe", "crash-handler"}};
  return release_document(release.files, release.snapshot,
                          builder::launcher_release_fields(release.gui_executable, release.helpers));
}

// Declares `total` expanded bytes by growing the first inventory file; nothing that large is written.
inline std::function<void(Json&)> declare_expanded(std::uint64_t total) {
  return [total](Json& manifest) {
    std::uint64_t others = 0;
    Json& files = manifest["files"];
    for (std::size_t i = 1; i < files.size(); ++i) others += files[i]["length"].get<std::uint64_t>();
    files[0]["length"] = total - others;
    sum_lengths(manifest);
  };
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
