#include <gtest/gtest.h>

#include <archive_entry.h>

#include "builder/inspect.h"
#include "core/digest.h"
#include "core/error.h"
#include "package/initial_package.h"
#include "package/package.h"
#include "support/temp_dir.h"
#include "trust/tuf.h"

namespace tovra::builder {
namespace {

namespace fs = std::filesystem;
using testing::error_of;
using testing::read_file;
using testing::TempDir;

std::set<std::string> names_in(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

PackageOptions branded_options() {
  PackageOptions options;
  options.ca_bundle = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
  options.featured_game = FeaturedGame{"starfall", "Starfall"};
  BrandOptions brand;
  brand.name = "Nimbus Play";
  brand.id = "nimbus";
  brand.publisher = "Nimbus Games";
  brand.icon = ico_stub();
  brand.theme = ThemeOptions{default_theme_definition(), {}};
  Json definition = parse_json(brand.theme->definition, 65536);
  definition["notices"] = Json::array({"license.txt"});
  brand.theme->definition = definition.dump();
  brand.theme->files["license.txt"] = "Fonts under their own licences.\n";
  options.brand = brand;
  return options;
}

// Every file the descriptor names exists with its length and digest, the manifests describe
// their archives, and the archives decode to exactly the payload.
TEST(BuildPackageTest, FilesMatchTheDescriptorAndArchivesMatchTheirManifests) {
  TempDir dir;
  const PackageOptions options = branded_options();
  const BuiltPackage built = build_package_files(options, dir / "package");
  const fs::path root = dir / "package";
  EXPECT_EQ(read_file(root / descriptor_name), built.descriptor);
  EXPECT_EQ(built.seal, digest_hex(built.descriptor, "sha256"));

  const Json descriptor = parse_json(built.descriptor, 524288);
  std::set<std::string> expected{descriptor_name};
  const auto check_resource = [&](const Json& resource) {
    const std::string path = resource.at("path");
    const std::string bytes = read_file(root / path);
    EXPECT_EQ(resource.at("length"), bytes.size()) << path;
    EXPECT_EQ(resource.at("sha256"), digest_hex(bytes, "sha256")) << path;
    expected.insert(path);
    return bytes;
  };
  for (const char* member : {"root", "ca_bundle", "bootstrap_manifest", "launcher_manifest"}) {
    check_resource(descriptor.at(member));
  }
  check_resource(descriptor.at("brand").at("icon"));
  EXPECT_EQ(check_resource(descriptor.at("brand").at("theme").at("definition")), options.brand->theme->definition);
  EXPECT_EQ(check_resource(descriptor.at("brand").at("theme").at("files").at("license.txt")),
            "Fonts under their own licences.\n");
  EXPECT_EQ(descriptor.at("brand").at("theme").at("files").at("license.txt").at("path"), "theme-license.txt");
  EXPECT_EQ(descriptor.at("featured_game"), (Json{{"id", "starfall"}, {"name", "Starfall"}}));

  const std::pair<const char*, const ReleaseOptions*> releases[] = {{"bootstrap_manifest", &options.bootstrap},
                                                                     {"launcher_manifest", &options.launcher}};
  for (const auto& [member, release] : releases) {
    const Json manifest = parse_json(check_resource(descriptor.at(member)), 524288);
    const Json& archive = manifest.at("archive");
    EXPECT_EQ(archive.at("format"), "tar.zst-v1");
    const std::string archive_bytes = check_resource(
        Json{{"path", archive.at("target")}, {"length", archive.at("length")}, {"sha256", archive.at("sha256")}});
    const auto entries = testing::read_tar(testing::zstd_decode(archive_bytes));
    ASSERT_EQ(entries.size(), release->files.size()) << member;
    ASSERT_EQ(manifest.at("files").size(), release->files.size()) << member;
    std::uint64_t expanded = 0;
    std::size_t i = 0;
    for (const auto& [path, file] : release->files) {
      const Json& listed = manifest.at("files").at(i);
      const auto& [name, entry] = entries.at(i++);
      EXPECT_EQ(listed.at("path"), path);
      EXPECT_EQ(listed.at("mode"), file.executable ? 493 : 420) << path;
      EXPECT_EQ(listed.at("length"), file.content.size()) << path;
      EXPECT_EQ(listed.at("sha256"), digest_hex(file.content, "sha256")) << path;
      EXPECT_EQ(name, path);
      EXPECT_EQ(entry.type, static_cast<unsigned>(AE_IFREG)) << path;
      EXPECT_EQ(entry.perm, file.executable ? 0755u : 0644u) << path;
      EXPECT_EQ(entry.data, file.content) << path;
      expanded += file.content.size();
    }
    EXPECT_EQ(manifest.at("expanded_length"), expanded);
  }
  EXPECT_EQ(names_in(root), expected);

  const Json& roles = built.root.at("signed").at("roles");
  for (const char* role : {"root", "timestamp", "snapshot", "targets"}) EXPECT_EQ(roles.at(role).at("threshold"), 1);
  EXPECT_NO_THROW(check_initial_root(read_file(root / "root.json")));
}

// The installer's own loader takes what the builder makes, with the printed seal only.
TEST(BuildPackageTest, TheInstallerAcceptsThePackageUnderItsSealOnly) {
  TempDir dir;
  PackageOptions plain;
  const std::string seal = build_package(plain, dir / "plain");
  const InitialPackage loaded = load_initial_package(dir / "plain", seal, {});
  EXPECT_EQ(loaded.origin, plain.origin);
  EXPECT_EQ(loaded.bootstrap.executable, "bin/tovra-bootstrap.exe");
  EXPECT_EQ(loaded.launcher.gui_executable, "bin/tovra-launcher-gui.exe");
  EXPECT_FALSE(loaded.brand.has_value());

  const std::string branded_seal = build_package(branded_options(), dir / "branded");
  const InitialPackage branded = load_initial_package(dir / "branded", branded_seal, {});
  ASSERT_TRUE(branded.brand.has_value());
  EXPECT_EQ(branded.brand->name, "Nimbus Play");
  EXPECT_EQ(branded.icon, ico_stub());
  EXPECT_FALSE(branded.ca_bundle.empty());

  // Two packages never share a seal (fresh keys), so each refuses the other's.
  EXPECT_NE(seal, branded_seal);
  EXPECT_EQ(error_of([&] { load_initial_package(dir / "plain", branded_seal, {}); }),
            "native_install_trust: This package is not the one this installer was built for");
}

// A root held by several schemes with threshold 2 passes the trust check as built.
TEST(BuildPackageTest, MixedSchemeRootsMeetTheirThreshold) {
  TempDir dir;
  PackageOptions options;
  options.signers = {std::make_shared<const SigningKey>(generate_key("ecdsa-sha2-nistp521")),
                     std::make_shared<const SigningKey>(generate_key("rsassa-pss-sha384", 2048)),
                     std::make_shared<const SigningKey>(generate_key("ed25519"))};
  std::vector<const SigningKey*> keys;
  for (const auto& key : options.signers) keys.push_back(key.get());
  RootOptions root = root_with_keys(keys);
  root.root.threshold = 2;
  options.root = root;
  const BuiltPackage built = build_package_files(options, dir / "package");
  EXPECT_NO_THROW(check_initial_root(read_file(dir / "package" / "root.json")));
  EXPECT_NO_THROW(load_initial_package(dir / "package", built.seal, {}));

  root.expires = "2020-01-01T00:00:00Z";
  options.root = root;
  const std::string stale = build_package(options, dir / "expired");
  EXPECT_EQ(error_of([&] { load_initial_package(dir / "expired", stale, {}); }),
            "expired_metadata: The initial package's TUF root has expired");
}

// Hooks reach the installer as the deliberate fault they describe.
TEST(BuildPackageTest, HooksMakeFaultsTheInstallerReports) {
  struct Case {
    const char* name;
    std::function<void(PackageOptions&)> change;
    std::string expected;
  };
  const std::vector<Case> cases{
      {"extra file", [](PackageOptions& o) { o.extra_files["notes.txt"] = "x"; },
       "invalid_native_package: Initial package contains an unexpected entry: notes.txt"},
      {"descriptor edit", [](PackageOptions& o) { o.edit_descriptor = [](Json& d) { d["platform"] = "linux-x86_64"; }; },
       "launcher_incompatible: This package is for another platform"},
      {"icon", [](PackageOptions& o) { o.brand = BrandOptions{"Tovra", "tovra", "Tovra", std::string(22, 'x'), {}}; },
       "invalid_native_package: The brand icon is not an .ico file"},
      {"manifest edit",
       [](PackageOptions& o) { o.launcher.snapshot.edit_manifest = [](Json& m) { m["runtime_lease_abi"] = 1; }; },
       "launcher_incompatible: Unsupported launcher runtime contract"},
      {"root bytes", [](PackageOptions& o) { o.root_bytes = "{\"signed\":{},\"signatures\":[]}"; },
       "invalid_native_package: Initial package metadata is malformed"},
      // Archive faults pass the package check, since the manifest describes the bytes as
      // written; only extraction may find them.
      {"archive bytes",
       [](PackageOptions& o) {
         o.bootstrap.snapshot.edit_archive = [](std::string& a) { a = zstd_skippable_frame("x") + a + '\0'; };
       },
       "no error"},
      {"tar entries",
       [](PackageOptions& o) {
         o.launcher.snapshot.tar_entries = {tar_special(TarType::symlink, "bin/tovra-launcher.exe", "/bin/sh")};
       },
       "no error"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    PackageOptions options;
    c.change(options);
    const std::string seal = build_package(options, dir / "package");
    EXPECT_EQ(error_of([&] { load_initial_package(dir / "package", seal, {}); }), c.expected) << c.name;
  }
}

TEST(BuildPackageTest, NothingIsWrittenWhenBuildingFails) {
  TempDir dir;
  fs::create_directory(dir / "busy");
  testing::write_file(dir / "busy" / "keep.txt", "mine");
  EXPECT_THROW(build_package(PackageOptions{}, dir / "busy"), Error);
  EXPECT_EQ(names_in(dir / "busy"), std::set<std::string>{"keep.txt"});

  PackageOptions refused;
  refused.verify = [](const fs::path& staged, const std::string&) {
    EXPECT_TRUE(fs::exists(staged / descriptor_name));
    throw Error("test", "refused");
  };
  EXPECT_THROW(build_package(refused, dir / "out"), Error);
  PackageOptions clash;  // two resources under one name
  clash.launcher.snapshot.target = "bootstrap.tar.zst";
  EXPECT_THROW(build_package(clash, dir / "out"), Error);
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"busy"});

  fs::create_directory(dir / "empty");
  EXPECT_NO_THROW(build_package(PackageOptions{}, dir / "empty"));
  EXPECT_TRUE(fs::exists(dir / "empty" / descriptor_name));
}

}  // namespace
}  // namespace tovra::builder
