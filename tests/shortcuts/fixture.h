#pragma once
// A finished installation on disk (records, bootstrap manifest and programs) and a private menu
// folder, for the shortcut tests.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "core/error.h"
#include "package/snapshot.h"
#include "platform/storage.h"
#include "support/temp_dir.h"

namespace tovra::testing {

inline std::string outcome(const std::function<void()>& action) {
  try {
    action();
  } catch (const Error& error) {
    return error.code() + ": " + error.what();
  }
  return "ok";
}

// PE header fields the bootstrap check reads; the defaults describe an AMD64 windowed program.
struct PeFields {
  std::uint32_t pe_offset = 128;
  std::uint32_t signature = 0x00004550;
  std::uint16_t machine = 0x8664;
  std::uint16_t optional_size = 240;
  std::uint16_t characteristics = 0x0022;
  std::uint16_t magic = 0x20B;
  std::uint16_t subsystem = 2;
  std::size_t length = 512;
};

inline std::string pe_image(const PeFields& f) {
  std::string image(f.length, '\0');
  const auto put = [&](std::size_t at, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes && at + i < image.size(); ++i) image[at + i] = static_cast<char>(value >> (8 * i));
  };
  put(0, 0x5A4D, 2);
  put(60, f.pe_offset, 4);
  put(f.pe_offset, f.signature, 4);
  put(f.pe_offset + 4, f.machine, 2);
  put(f.pe_offset + 20, f.optional_size, 2);
  put(f.pe_offset + 22, f.characteristics, 2);
  put(f.pe_offset + 24, f.magic, 2);
  put(f.pe_offset + 92, f.subsystem, 2);
  return image;
}

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
