#include <gtest/gtest.h>

#include <archive_entry.h>

#include "builder/inspect.h"
#include "core/digest.h"
#include "core/error.h"
#include "package/initial_package.h"
#include "package/package.h"
#include "support/temp_dir.h"

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

// The installer's load checks every resource's length and digest (see the initial package
// tests); here an independent reader shows that the archives hold exactly the payload.
TEST(BuildPackageTest, ArchivesHoldExactlyThePayload) {
  TempDir dir;
  const PackageOptions options = branded_options();
  const BuiltPackage built = build_package_files(options, dir / "package");
  const fs::path root = dir / "package";
  EXPECT_EQ(built.seal, digest_hex(read_file(root / descriptor_name), "sha256"));
  const InitialPackage loaded = load_initial_package(root, built.seal, {});
  EXPECT_EQ(loaded.theme.files.at("license.txt"), "Fonts under their own licences.\n");
  EXPECT_TRUE(fs::is_regular_file(root / "theme-license.txt"));

  const std::pair<std::string, const ReleaseOptions*> releases[] = {
      {loaded.bootstrap_manifest_bytes, &options.bootstrap}, {loaded.launcher_manifest_bytes, &options.launcher}};
  for (const auto& [bytes, release] : releases) {
    const Json manifest = parse_json(bytes, 524288);
    EXPECT_EQ(manifest.at("archive").at("format"), "tar.zst-v1");
    const std::string target = manifest.at("archive").at("target");
    const auto entries = testing::read_tar(testing::zstd_decode(read_file(root / target)));
    ASSERT_EQ(entries.size(), release->files.size());
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
  const Json& roles = built.root.at("signed").at("roles");
  for (const char* role : {"root", "timestamp", "snapshot", "targets"}) EXPECT_EQ(roles.at(role).at("threshold"), 1);
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
