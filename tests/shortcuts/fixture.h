#pragma once
// A finished installation on disk (records, bootstrap manifest and programs) and a private menu
// folder, for the shortcut tests.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/test_util.h"
#include "package/snapshot.h"
#include "platform/storage.h"
#include "shortcuts/pe_image.h"
#include "support/temp_dir.h"

namespace tovra::testing {

class Installation {
 public:
  Installation() {
    root = temp / "data";
    menu = temp / "xdg" / "applications";
    ::setenv("XDG_DATA_HOME", (temp / "xdg").c_str(), 1);
    windows_security::ensure_private_directory(root / "native");
    write_file(root / "native" / "installation.json", R"({"kind":"tovra-installation","schema_version":1})");
    builder::Payload payload;
    payload["bin/tovra-bootstrap.exe"] = {pe_image({.subsystem = 3}), true};
    payload["bin/tovra-bootstrap-gui.exe"] = {pe_image({}), true};
    builder::SnapshotOptions options;
    options.executable = "bin/tovra-bootstrap.exe";
    options.target = "bootstrap.tar.zst";
    options.release_fields = builder::bootstrap_release_fields("bin/tovra-bootstrap-gui.exe");
    write_file(root / "native" / "bootstrap.json", builder::snapshot_manifest(payload, options, "archive").dump());
    std::filesystem::create_directories(root / "native" / "bootstrap" / "bin");
    for (const auto& [name, file] : payload) write_file(root / "native" / "bootstrap" / name, file.content);
    program = root / "native" / "bootstrap" / "bin" / "tovra-bootstrap-gui.exe";
  }
  ~Installation() { ::unsetenv("XDG_DATA_HOME"); }

  TempDir temp;
  std::filesystem::path root;
  std::filesystem::path menu;
  std::filesystem::path program;
};

// desktop-file-validate's verdict: "ok" or its output.
inline std::string validate_entry(const std::filesystem::path& file) {
  const std::filesystem::path report = file.parent_path().parent_path() / "validate.txt";
  const int status =
      std::system(("desktop-file-validate '" + file.string() + "' > '" + report.string() + "' 2>&1").c_str());
  const std::string text = read_file(report);
  std::filesystem::remove(report);
  return status == 0 && text.empty() ? "ok" : text;
}

}  // namespace tovra::testing
