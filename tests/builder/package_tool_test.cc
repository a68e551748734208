#include <gtest/gtest.h>

#include <archive.h>
#include <archive_entry.h>
#include <openssl/evp.h>
#include <zstd.h>

#include <memory>
#include <sstream>
#include <stdexcept>

#include "core/digest.h"
#include "core/error.h"
#include "core/test_util.h"
#include "package/archive.h"
#include "package/cli.h"
#include "package/initial_package.h"
#include "package/keys.h"
#include "package/package.h"
#include "package/release_manifest.h"
#include "package/snapshot.h"
#include "support/temp_dir.h"
#include "support/links.h"
#include "trust/tuf.h"

namespace tovra::builder {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::names_in;
using testing::write_file;

// Independent readers for what the package tool writes: tar.zst decoding through zstd and libarchive.
struct ArchivedEntry {
  unsigned type = 0;  // AE_IF* bits
  unsigned perm = 0;
  std::string data;
  std::string symlink, hardlink;
};

// Decodes one zstd frame that declares its size.
std::string zstd_decode(std::string_view frame) {
  const unsigned long long size = ZSTD_getFrameContentSize(frame.data(), frame.size());
  if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN) throw std::runtime_error("frame size");
  std::string out(size, '\0');
  const std::size_t result = ZSTD_decompress(out.data(), out.size(), frame.data(), frame.size());
  if (ZSTD_isError(result) || result != size) throw std::runtime_error("frame");
  return out;
}

std::vector<std::pair<std::string, ArchivedEntry>> read_tar(std::string_view tar) {
  using Reader = std::unique_ptr<archive, decltype(&archive_read_free)>;
  const Reader reader(archive_read_new(), &archive_read_free);
  archive_read_support_format_tar(reader.get());
  archive_read_support_filter_none(reader.get());
  if (archive_read_open_memory(reader.get(), tar.data(), tar.size()) != ARCHIVE_OK) throw std::runtime_error("open");
  std::vector<std::pair<std::string, ArchivedEntry>> entries;
  archive_entry* header = nullptr;
  int result = ARCHIVE_OK;
  while ((result = archive_read_next_header(reader.get(), &header)) == ARCHIVE_OK) {
    ArchivedEntry entry;
    entry.type = archive_entry_filetype(header);
    entry.perm = archive_entry_perm(header);
    if (const char* link = archive_entry_symlink(header)) entry.symlink = link;
    if (const char* link = archive_entry_hardlink(header)) entry.hardlink = link;
    char buffer[4096];
    la_ssize_t read = 0;
    while ((read = archive_read_data(reader.get(), buffer, sizeof buffer)) > 0) {
      entry.data.append(buffer, static_cast<std::size_t>(read));
    }
    if (read < 0) throw std::runtime_error("data");
    entries.emplace_back(archive_entry_pathname(header), std::move(entry));
  }
  if (result != ARCHIVE_EOF) throw std::runtime_error("header");
  return entries;
}

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
  const auto entries = read_tar(zstd_decode(testing::read_file(archive)));
  ASSERT_EQ(entries.size(), launcher.files.size());
  auto file = launcher.files.begin();
  for (const auto& [name, entry] : entries) {
    EXPECT_EQ(name, file->first);
    EXPECT_EQ(entry.perm, file->second.executable ? 0755u : 0644u) << name;
    EXPECT_EQ(entry.data, (file++)->second.content) << name;
  }

  // The root command signs with the same key files.
  const ToolRun root = run({"root", "--key", (dir / "one").string(), "--out", (dir / "root.json").string(),
                            "--expires", "2099-12-31T23:59:59Z"});
  ASSERT_EQ(root.code, 0) << root.err;
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

// A name past the 100 bytes of a plain tar header and data of many blocks come back whole.
TEST(TarTest, PlainFilesKeepNamesModesAndBytes) {
  const std::string big(200000, 'x');
  const std::string long_name = std::string(120, 'd') + "/" + std::string(90, 'f');
  const auto entries = read_tar(make_tar({tar_file("bin/run.exe", "MZ", 0755), tar_file("data/big.bin", big),
                                          tar_file("empty", ""), tar_file(long_name, "deep")}));
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].first, "bin/run.exe");
  EXPECT_EQ(entries[0].second.perm, 0755u);
  EXPECT_EQ(entries[1].second.data, big);
  EXPECT_EQ(entries[1].second.perm, 0644u);
  EXPECT_EQ(entries[2].second.data, "");
  EXPECT_EQ(entries[3].first, long_name);
  for (const auto& [name, entry] : entries) EXPECT_EQ(entry.type, static_cast<unsigned>(AE_IFREG)) << name;
}

TEST(ZstdTest, OneFrameWithContentSizeUnlessAskedAndSkippableFrames) {
  std::string data;
  for (int i = 0; i < 50000; ++i) data += std::to_string(i * 7919 % 10007) + ",";
  ZstdOptions options;
  options.level = 22;
  const std::string frame = zstd_compress(data, options);
  EXPECT_EQ(ZSTD_findFrameCompressedSize(frame.data(), frame.size()), frame.size()) << "one frame only";
  EXPECT_EQ(ZSTD_getFrameContentSize(frame.data(), frame.size()), data.size());
  EXPECT_EQ(zstd_decode(frame), data);
  EXPECT_EQ(zstd_decode(zstd_compress("")), "");

  options.content_size = false;
  const std::string plain = zstd_compress(data, options);
  EXPECT_EQ(ZSTD_getFrameContentSize(plain.data(), plain.size()), ZSTD_CONTENTSIZE_UNKNOWN);
  EXPECT_EQ(ZSTD_findFrameCompressedSize(plain.data(), plain.size()), plain.size());

  EXPECT_EQ(zstd_skippable_frame("note"), std::string("\x50\x2A\x4D\x18\x04\x00\x00\x00note", 12));
}

// The manifest always lists the payload and describes the archive bytes as finally written, so
// a damaged archive still passes the package check and reaches the decoder. Links come out of
// the writer as asked, for the extraction tests to refuse.
TEST(PackSnapshotTest, HooksChangeTheArchiveButNotTheInventory) {
  const Payload payload{{"bin/app", {"run", true}}, {"doc/readme.txt", {"read me", false}}};
  SnapshotOptions options;
  options.executable = "bin/app";
  options.target = "app.tar.zst";
  options.tar_entries = std::vector<TarEntry>{tar_special(TarType::hardlink, "bin/app", "doc/readme.txt"),
                                              tar_special(TarType::symlink, "bin/link", "../../etc/passwd")};
  options.edit_archive = [](std::string& archive) { archive += archive; };
  const PackedSnapshot packed = pack_snapshot(payload, options);

  const Json& manifest = packed.manifest;
  EXPECT_EQ(manifest.at("archive").at("length"), packed.archive.size());
  EXPECT_EQ(manifest.at("archive").at("sha256"), digest_hex(packed.archive, "sha256"));
  EXPECT_EQ(manifest.at("files").at(1), (Json{{"path", "doc/readme.txt"}, {"length", 7}, {"mode", 420},
                                             {"sha256", digest_hex("read me", "sha256")}}));
  EXPECT_THROW(zstd_decode(packed.archive), std::runtime_error);
  const auto entries = read_tar(zstd_decode(packed.archive.substr(0, packed.archive.size() / 2)));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].second.hardlink, "doc/readme.txt");
  EXPECT_EQ(entries[1].second.type, static_cast<unsigned>(AE_IFLNK));
  EXPECT_EQ(entries[1].second.symlink, "../../etc/passwd");
}

// Each scheme's public record has the form and key ID the installer computes; the trust tests
// verify what each scheme signs.
TEST(SigningKeyTest, RecordsNameTheirKeyTypeAndSignaturesVerify) {
  const std::pair<const char*, const char*> schemes[] = {
      {"ed25519", "ed25519"},           {"ecdsa-sha2-nistp256", "ecdsa"}, {"ecdsa-sha2-nistp384", "ecdsa"},
      {"ecdsa-sha2-nistp521", "ecdsa"}, {"rsassa-pss-sha256", "rsa"},     {"rsassa-pss-sha384", "rsa"},
      {"rsassa-pss-sha512", "rsa"}};
  for (const auto& [scheme, keytype] : schemes) {
    const SigningKey key = generate_key(scheme, 2048);
    const Json record = key.record();
    EXPECT_EQ(record.at("keytype"), keytype);
    EXPECT_EQ(record.at("scheme"), scheme);
    EXPECT_EQ(record.size(), 3u);
    EXPECT_EQ(key.id(), digest_hex(canonical_json(record), "sha256"));
  }
}

TEST(SigningKeyTest, RefusesWhatCannotBeMadeOrDoesNotFit) {
  EXPECT_EQ(testing::outcome([] { generate_key("rsassa-pss-sha256", 1024); }), "key: RSA keys need at least 2048 bits");
  // An Ed25519 key cannot be declared as ECDSA, nor a P-256 key as P-384.
  const std::pair<const char*, const char*> mismatches[] = {{"ed25519", "ecdsa-sha2-nistp256"},
                                                            {"ecdsa-sha2-nistp256", "ecdsa-sha2-nistp384"}};
  for (const auto& [made, declared] : mismatches) {
    const SigningKey key = generate_key(made);
    EXPECT_EQ(testing::outcome([&] { SigningKey(declared, PkeyPtr(EVP_PKEY_dup(key.pkey()))); }),
              std::string("key: The key does not suit the scheme ") + declared);
  }
}

TEST(SigningKeyTest, KeyFilesRoundTripAndMustBelongTogether) {
  TempDir dir;
  const SigningKey ecdsa = generate_key("ecdsa-sha2-nistp384");
  write_key_files(ecdsa, dir / "release");
  EXPECT_EQ(read_key_files(dir / "release").id(), ecdsa.id());

  // Never replaced: the second key leaves the first pair as it was.
  EXPECT_THROW(write_key_files(generate_key("ed25519"), dir / "release"), Error);
  EXPECT_EQ(read_key_files(dir / "release").id(), ecdsa.id());

  // A record from another key is refused rather than signing under a wrong key ID.
  write_key_files(generate_key("ecdsa-sha2-nistp384"), dir / "other");
  std::filesystem::copy_file(public_record_path(dir / "other"), public_record_path(dir / "mixed"));
  std::filesystem::copy_file(private_key_path(dir / "release"), private_key_path(dir / "mixed"));
  EXPECT_THROW(read_key_files(dir / "mixed"), Error);
}

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
  PackageOptions clash;  // two resources under one name
  clash.launcher.snapshot.target = "bootstrap.tar.zst";
  EXPECT_THROW(build_package(clash, dir / "out"), Error);
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"busy"});

  fs::create_directory(dir / "empty");
  EXPECT_NO_THROW(build_package(PackageOptions{}, dir / "empty"));
  EXPECT_TRUE(fs::exists(dir / "empty" / descriptor_name));
}

}  // namespace
}  // namespace tovra::builder
