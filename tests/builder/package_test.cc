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
using testing::outcome;
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
    const auto entries = testing::read_tar(testing::zstd_decode(check_resource(
        Json{{"path", archive.at("target")}, {"length", archive.at("length")}, {"sha256", archive.at("sha256")}})));
    ASSERT_EQ(entries.size(), release->files.size()) << member;
    std::size_t i = 0;
    for (const auto& [path, file] : release->files) {
      const auto& [name, entry] = entries.at(i);
      EXPECT_EQ(manifest.at("files").at(i++).at("path"), path);
      EXPECT_EQ(name, path);
      EXPECT_EQ(entry.type, static_cast<unsigned>(AE_IFREG)) << path;
      EXPECT_EQ(entry.perm, file.executable ? 0755u : 0644u) << path;
      EXPECT_EQ(entry.data, file.content) << path;
    }
  }
  EXPECT_EQ(names_in(root), expected);

  const Json& roles = built.root.at("signed").at("roles");
  for (const char* role : {"root", "timestamp", "snapshot", "targets"}) EXPECT_EQ(roles.at(role).at("threshold"), 1);
  EXPECT_NO_THROW(check_initial_root(read_file(root / "root.json")));
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
