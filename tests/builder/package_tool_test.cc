#include <gtest/gtest.h>

#include <sstream>

#include "core/digest.h"
#include "core/error.h"
#include "core/test_util.h"
#include "package/cli.h"
#include "package/initial_package.h"
#include "package/keys.h"
#include "package/package.h"
#include "package/release_manifest.h"
#include "support/links.h"
#include "support/temp_dir.h"
#include "trust/tuf.h"

namespace tovra::builder {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::names_in;
using testing::outcome;
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

// Help on standard output, whatever else is given; usage problems named on standard error.
TEST(PackageToolTest, HelpGoesToStandardOutputAndProblemsToStandardError) {
  const ToolRun help = run({"build", "--out", "x", "--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_EQ(help.out.rfind("Usage: tovra-package build", 0), 0u);
  EXPECT_NE(help.out.find("TOVRA_INITIAL_PACKAGE_SHA256"), std::string::npos);
  EXPECT_TRUE(help.err.empty());

  TempDir dir;
  struct Case {
    std::vector<std::string> arguments;
    std::string message;
  };
  const std::string out = (dir / "k").string();
  const std::vector<Case> cases{
      {{}, "Choose a command: keygen, root, snapshot, stub or build"},
      {{"keygen", "--colour", "red"}, "Unknown option for keygen: --colour"},
      {{"keygen", "--scheme", "rsassa-pss-sha256", "--out", out, "--rsa-bits", "2047"},
       "Option --rsa-bits needs a whole number from 2048 to 16384"},
      {{"build", "--out", out, "--origin", "https://x.test", "--root", "r", "--key", "k"},
       "Give either --root FILE or --key PREFIX"},
  };
  for (const Case& c : cases) {
    const ToolRun result = run(c.arguments);
    EXPECT_EQ(result.code, 2) << c.message;
    EXPECT_EQ(result.err.substr(0, result.err.find('\n')), "tovra-package: " + c.message);
    EXPECT_TRUE(result.out.empty()) << c.message;
  }
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

// Keys and a package from folders, as a publisher makes them; the printed seal is what the
// installer accepts, and nothing the installer would refuse is sealed.
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

  const std::vector<std::string> common{"--origin", "https://repository.nimbus.test:8443", "--bootstrap",
                                        (dir / "bootstrap").string(), "--bootstrap-build-id", "boot-7", "--launcher",
                                        (dir / "launcher").string(), "--launcher-build-id", "launch-9",
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

  // An undeclared helper, and a root whose content only the installer's trust step reads.
  const SigningKey one = read_key_files(dir / "one");
  Json content = root_content(root_with_keys({&one}));
  content["version"] = 0;
  write_file(dir / "r.json", sign_metadata(content, {&one}).dump());
  const ToolRun undeclared = build("refused", {"--root", (dir / "r.json").string()});
  EXPECT_EQ(undeclared.code, 1);
  EXPECT_NE(undeclared.err.find("Declare the launcher executable bin/crash.exe"), std::string::npos);
  const ToolRun refused =
      build("refused", {"--root", (dir / "r.json").string(), "--helper", "bin/crash.exe=crash-handler"});
  EXPECT_EQ(refused.code, 1);
  EXPECT_EQ(refused.err, "tovra-package: Metadata version must be positive\n");
  EXPECT_FALSE(fs::exists(dir / "refused"));

  const ToolRun built = build("package", {"--key", (dir / "one").string(), "--key", (dir / "two").string(),
                                          "--threshold", "2", "--helper", "bin/crash.exe=crash-handler"});
  ASSERT_EQ(built.code, 0) << built.err;
  const std::string seal = built.out.substr(0, built.out.size() - 1);
  EXPECT_EQ(seal, digest_hex(testing::read_file(dir / "package" / descriptor_name), "sha256"));
  EXPECT_NE(built.err.find("-DTOVRA_INITIAL_PACKAGE_SHA256=" + seal), std::string::npos);
  const InitialPackage loaded = load_initial_package(dir / "package", seal, {});
  EXPECT_EQ(loaded.bootstrap.build_id, "boot-7");
  EXPECT_EQ(loaded.brand->name, "Nimbus");
  // Every file of the launcher folder is listed with its bytes and mode; extraction holds the
  // archive to this list.
  ASSERT_EQ(loaded.launcher.files.size(), launcher.files.size());
  for (const auto& [path, file] : launcher.files) {
    EXPECT_EQ(loaded.launcher.files.at(path).sha256, digest_hex(file.content, "sha256")) << path;
    EXPECT_EQ(loaded.launcher.files.at(path).executable, file.executable) << path;
  }

  // The root command signs with the same key files, into a root the installer accepts.
  const ToolRun root = run({"root", "--key", (dir / "one").string(), "--out", (dir / "root.json").string(),
                            "--expires", "2099-12-31T23:59:59Z"});
  ASSERT_EQ(root.code, 0) << root.err;
  EXPECT_NO_THROW(check_initial_root(testing::read_file(dir / "root.json")));
}

// A publisher's folder packed for the repository: links are never followed into the archive,
// and existing outputs are never replaced.
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
  EXPECT_EQ(manifest.target, "boot.tar.zst");
  EXPECT_EQ(result.out, digest_hex(testing::read_file(dir / "boot.tar.zst"), "sha256") + "\n");
  EXPECT_EQ(manifest.sha256 + "\n", result.out);
  EXPECT_EQ(snapshot("boot").code, 1) << "existing outputs are never replaced";

  testing::make_symlink("/etc/passwd", dir / "payload" / "share" / "link");
  const ToolRun linked = snapshot("x");
  EXPECT_EQ(linked.code, 1);
  EXPECT_NE(linked.err.find("Snapshots hold only plain files: "), std::string::npos);
  EXPECT_FALSE(fs::exists(dir / "x.tar.zst"));
}

// The extraction test's skippable frame must be a real one, not just any bytes the decoder
// refuses.
TEST(PackSnapshotTest, SkippableFrameIsWellFormed) {
  EXPECT_EQ(zstd_skippable_frame("note"), std::string("\x50\x2A\x4D\x18\x04\x00\x00\x00note", 12));
}

// A key pair is never replaced, and files that do not belong together never sign.
TEST(SigningKeyTest, KeyFilesRoundTripAndMustBelongTogether) {
  TempDir dir;
  const SigningKey ecdsa = generate_key("ecdsa-sha2-nistp384");
  write_key_files(ecdsa, dir / "release");
  EXPECT_THROW(write_key_files(generate_key("ed25519"), dir / "release"), Error);
  EXPECT_EQ(read_key_files(dir / "release").id(), ecdsa.id());

  // A record of another key of the same scheme, or of a key of another scheme.
  write_key_files(generate_key("ecdsa-sha2-nistp384"), dir / "other");
  write_key_files(generate_key("ed25519"), dir / "edwards");
  const std::pair<const char*, std::string> mixes[] = {
      {"other", "key: The public key record does not belong to "},
      {"edwards", "key: The key does not suit the scheme ed25519"}};
  for (const auto& [record, message] : mixes) {
    const fs::path mixed = dir / (std::string(record) + "-mixed");
    fs::copy_file(public_record_path(dir / record), public_record_path(mixed));
    fs::copy_file(private_key_path(dir / "release"), private_key_path(mixed));
    EXPECT_EQ(outcome([&] { read_key_files(mixed); }).substr(0, message.size()), message) << record;
  }
}

// The output folder must be absent or empty, and a failed build leaves nothing behind.
TEST(BuildPackageTest, NothingIsWrittenWhenBuildingFails) {
  TempDir dir;
  fs::create_directory(dir / "busy");
  write_file(dir / "busy" / "keep.txt", "mine");
  EXPECT_THROW(build_package(PackageOptions{}, dir / "busy"), Error);
  EXPECT_EQ(names_in(dir / "busy"), std::vector<std::string>{"keep.txt"});

  PackageOptions refused;
  refused.verify = [](const fs::path& staged, const std::string&) {
    EXPECT_TRUE(fs::exists(staged / descriptor_name));
    throw Error("test", "refused");
  };
  EXPECT_THROW(build_package(refused, dir / "out"), Error);
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"busy"});

  fs::create_directory(dir / "empty");
  EXPECT_NO_THROW(build_package(PackageOptions{}, dir / "empty"));
  EXPECT_TRUE(fs::exists(dir / "empty" / descriptor_name));
}

}  // namespace
}  // namespace tovra::builder
