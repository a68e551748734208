#include <gtest/gtest.h>

#include <sstream>

#include "builder/inspect.h"
#include "core/digest.h"
#include "core/error.h"
#include "package/cli.h"
#include "package/initial_package.h"
#include "package/package.h"
#include "package/release_manifest.h"
#include "support/temp_dir.h"
#include "support/links.h"
#include "trust/tuf.h"

namespace tovra::builder {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::write_file;

struct ToolRun {
  int code;
  std::string out, err;
};

ToolRun run(const std::vector<std::string>& arguments) {
  std::ostringstream out, err;
  const int code = run_package_tool(arguments, out, err);
  return {code, out.str(), err.str()};
}

void write_payload(const fs::path& folder, const Payload& payload) {
  for (const auto& [path, file] : payload) {
    fs::create_directories((folder / path).parent_path());
    write_file(folder / path, file.content);
    fs::permissions(folder / path, file.executable ? fs::perms(0755) : fs::perms(0644));
  }
}

TEST(PackageToolTest, HelpGoesToStandardOutput) {
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"--help"}, {"root", "-h"}, {"build", "--out", "x", "--help"}}) {
    const ToolRun result = run(arguments);
    EXPECT_EQ(result.code, 0) << arguments.front();
    EXPECT_EQ(result.out.rfind("Usage: tovra-package", 0), 0u) << arguments.front();
    EXPECT_TRUE(result.err.empty());
  }
  EXPECT_NE(run({"build", "--help"}).out.find("TOVRA_INITIAL_PACKAGE_SHA256"), std::string::npos);
}

TEST(PackageToolTest, ProblemsAreNamedOnStandardError) {
  TempDir dir;
  struct Case {
    std::vector<std::string> arguments;
    int code;
    std::string message;
  };
  const std::string out = (dir / "k").string();
  const std::vector<Case> cases{
      {{}, 2, "Choose a command: keygen, root, snapshot, stub or build"},
      {{"keygen", "--colour", "red"}, 2, "Unknown option for keygen: --colour"},
      {{"keygen", "--scheme"}, 2, "Option --scheme needs a value"},
      {{"keygen", "--scheme", "ed25519"}, 2, "Option --out is required"},
      {{"keygen", "--scheme", "ed25519", "--scheme", "ed25519"}, 2, "Option --scheme is given twice"},
      {{"keygen", "--scheme", "rsassa-pss-sha256", "--out", out, "--rsa-bits", "1024"}, 2,
       "Option --rsa-bits needs a whole number from 2048 to 16384"},
      {{"keygen", "--scheme", "dsa", "--out", out}, 1, "Unknown signing scheme: dsa"},
      {{"root", "--out", out}, 2, "Option --key is required"},
      {{"root", "--key", out, "--out", out + ".json"}, 1, "Not a plain file: " + out + ".pub.json"},
      {{"stub", "--kind", "dll", "--out", out}, 2, "Option --kind takes console, windowed or icon"},
      {{"build", "--out", out, "--origin", "https://x.test", "--root", "r", "--key", "k"}, 2,
       "Give either --root FILE or --key PREFIX"},
      {{"build", "--out", out, "--origin", "https://x.test", "--expires", "2099-01-01T00:00:00Z", "--root", "r"}, 2,
       "Option --expires does not apply with --root"},
  };
  for (const Case& c : cases) {
    const ToolRun result = run(c.arguments);
    EXPECT_EQ(result.code, c.code) << c.message;
    EXPECT_EQ(result.err.substr(0, result.err.find('\n')), "tovra-package: " + c.message);
    EXPECT_TRUE(result.out.empty()) << c.message;
  }
  EXPECT_TRUE(fs::is_empty(dir.path()));

  if (!scheme_available("ml-dsa-65/1")) {
    const ToolRun result = run({"keygen", "--scheme", "ml-dsa-65/1", "--out", out});
    EXPECT_EQ(result.code, 1);
    EXPECT_NE(result.err.find("ML-DSA needs OpenSSL 3.5 or later"), std::string::npos);
  }
}

// Keys, snapshots and a package from folders, as a publisher makes them; the printed seal is
// what the installer accepts.
TEST(PackageToolTest, BuildsAPackageTheInstallerAccepts) {
  TempDir dir;
  const ReleaseOptions bootstrap = default_bootstrap();
  ReleaseOptions launcher = default_launcher();
  launcher.files["bin/crash.exe"] = {"crash handler", true};
  write_payload(dir / "bootstrap", bootstrap.files);
  write_payload(dir / "launcher", launcher.files);
  fs::create_directories(dir / "launcher" / "empty-folder");
  fs::create_directory(dir / "theme");
  write_file(dir / "theme" / "theme.json", default_theme_definition());
  write_file(dir / "icon.ico", ico_stub());

  ASSERT_EQ(run({"keygen", "--scheme", "ed25519", "--out", (dir / "one").string()}).code, 0);
  const ToolRun second = run({"keygen", "--scheme", "ecdsa-sha2-nistp256", "--out", (dir / "two").string()});
  ASSERT_EQ(second.code, 0) << second.err;
  EXPECT_EQ(second.out.size(), 65u);

  const std::vector<std::string> common{"--origin", "https://repository.nimbus.test:8443", "--key",
                                        (dir / "one").string(), "--key", (dir / "two").string(), "--threshold", "2",
                                        "--bootstrap", (dir / "bootstrap").string(), "--bootstrap-build-id", "boot-7",
                                        "--launcher", (dir / "launcher").string(), "--launcher-build-id", "launch-9",
                                        "--launcher-executable", "bin/tovra-launcher.exe", "--launcher-gui",
                                        "bin/tovra-launcher-gui.exe", "--brand-name", "Nimbus", "--brand-id", "nimbus",
                                        "--brand-publisher", "Nimbus Games", "--icon", (dir / "icon.ico").string(),
                                        "--theme", (dir / "theme").string(), "--level", "3"};
  const auto build = [&](const std::string& out, std::vector<std::string> extra) {
    std::vector<std::string> arguments{"build", "--out", (dir / out).string()};
    arguments.insert(arguments.end(), common.begin(), common.end());
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return run(arguments);
  };

  // Undeclared helper: refused before anything is written.
  const ToolRun undeclared = build("refused", {});
  EXPECT_EQ(undeclared.code, 1);
  EXPECT_NE(undeclared.err.find("Declare the launcher executable bin/crash.exe"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir / "refused"));

  // Nothing the installer's trust step refuses at install time is sealed: a key signing twice, or a
  // root whose content only the trust step reads.
  const SigningKey one = read_key_files(dir / "one");
  const ToolRun twice = build("refused", {"--helper", "bin/crash.exe=crash-handler", "--key", (dir / "one").string()});
  EXPECT_EQ(twice.code, 2);
  EXPECT_EQ(twice.err.substr(0, twice.err.find('\n')), "tovra-package: The key " + one.id() + " is given twice");
  std::vector<std::string> rooted{"build", "--out", (dir / "refused").string(), "--root", (dir / "r.json").string(),
                                  "--helper", "bin/crash.exe=crash-handler"};
  rooted.insert(rooted.end(), common.begin(), common.begin() + 2);
  rooted.insert(rooted.end(), common.begin() + 8, common.end());
  Json content = root_content(root_with_keys({&one}));
  content["version"] = 0;
  write_file(dir / "r.json", sign_metadata(content, {&one}).dump());
  const ToolRun refused = run(rooted);
  EXPECT_EQ(refused.code, 1);
  EXPECT_EQ(refused.err, "tovra-package: Metadata version must be positive\n");

  const ToolRun built = build("package", {"--helper", "bin/crash.exe=crash-handler"});
  ASSERT_EQ(built.code, 0) << built.err;
  const std::string seal = built.out.substr(0, built.out.size() - 1);
  EXPECT_EQ(seal, digest_hex(testing::read_file(dir / "package" / descriptor_name), "sha256"));
  EXPECT_NE(built.err.find("-DTOVRA_INITIAL_PACKAGE_SHA256=" + seal), std::string::npos);
  const InitialPackage loaded = load_initial_package(dir / "package", seal, {});
  EXPECT_EQ(loaded.bootstrap.build_id, "boot-7");
  EXPECT_EQ(loaded.launcher.helpers.count("bin/crash.exe"), 1u);
  EXPECT_EQ(loaded.brand->name, "Nimbus");
  // An independent reader finds exactly the launcher folder's files in its archive.
  const fs::path archive = dir / "package" / loaded.launcher.target;
  const auto entries = testing::read_tar(testing::zstd_decode(testing::read_file(archive)));
  ASSERT_EQ(entries.size(), launcher.files.size());
  auto file = launcher.files.begin();
  for (const auto& [name, entry] : entries) {
    EXPECT_EQ(name, file->first);
    EXPECT_EQ(entry.perm, file->second.executable ? 0755u : 0644u) << name;
    EXPECT_EQ(entry.data, (file++)->second.content) << name;
  }

  // The root command signs with the same key files.
  ASSERT_EQ(run({"root", "--key", (dir / "one").string(), "--out", (dir / "root.json").string(), "--expires",
                 "2099-12-31T23:59:59Z"})
                .code,
            0);
  const ToolRun expired = run({"root", "--key", (dir / "one").string(), "--out", (dir / "old.json").string(),
                              "--expires", "2001-01-01T00:00:00Z"});
  EXPECT_EQ(expired.err, "tovra-package: The initial package's TUF root has expired\n");
  EXPECT_FALSE(fs::exists(dir / "old.json"));
  EXPECT_NO_THROW(check_initial_root(testing::read_file(dir / "root.json")));
}

TEST(PackageToolTest, SnapshotCommandPacksAFolder) {
  TOVRA_NEEDS_SYMLINKS();
  TempDir dir;
  write_payload(dir / "payload", default_bootstrap().files);
  const auto snapshot = [&](const std::string& name) {
    return run({"snapshot", "--kind", "bootstrap", "--dir", (dir / "payload").string(), "--build-id", "boot-2",
                "--archive", (dir / (name + ".tar.zst")).string(), "--manifest", (dir / (name + ".json")).string()});
  };
  const ToolRun result = snapshot("boot");
  ASSERT_EQ(result.code, 0) << result.err;
  const SnapshotManifest manifest = parse_bootstrap_manifest(testing::read_file(dir / "boot.json"));
  const std::string archive = testing::read_file(dir / "boot.tar.zst");
  EXPECT_EQ(manifest.target, "boot.tar.zst");
  EXPECT_EQ(manifest.sha256, digest_hex(archive, "sha256"));
  EXPECT_EQ(result.out, manifest.sha256 + "\n");
  EXPECT_EQ(testing::read_tar(testing::zstd_decode(archive)).size(), 3u);
  EXPECT_EQ(snapshot("boot").code, 1) << "existing outputs are never replaced";

  // Links and undeclared executables are refused with the file named.
  testing::make_symlink("/etc/passwd", dir / "payload" / "share" / "link");
  const ToolRun linked = snapshot("x");
  EXPECT_EQ(linked.code, 1);
  EXPECT_NE(linked.err.find("Snapshots hold only plain files: "), std::string::npos);
  fs::remove(dir / "payload" / "share" / "link");
  // Executable by its mode on POSIX and by its name on Windows.
  write_file(dir / "payload" / "share" / "tool.exe", "MZ");
  fs::permissions(dir / "payload" / "share" / "tool.exe", fs::perms(0755));
  EXPECT_EQ(snapshot("x").err, "tovra-package: The bootstrap may not carry the undeclared executable share/tool.exe\n");
  EXPECT_FALSE(fs::exists(dir / "x.tar.zst"));
}

}  // namespace
}  // namespace tovra::builder
