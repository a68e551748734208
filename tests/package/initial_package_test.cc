#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>

#include "package/brand.h"
#include "package/initial_package.h"
#include "package/package.h"
#include "samples.h"
#include "support/temp_dir.h"
#include "support/links.h"

namespace tovra::testing {
namespace {

namespace fs = std::filesystem;
using builder::PackageOptions;

const Problem kTooBig{"size_limit", "Initial package resource exceeds its size limit"};

// A package made by the builder in its own folder; tests may alter the folder afterwards, which
// leaves the seal as built.
struct BuiltFolder {
  TempDir dir;
  builder::BuiltPackage built;

  explicit BuiltFolder(const PackageOptions& options = {},
                       const std::function<void(const fs::path&)>& alter = {})
      : built(builder::build_package_files(options, dir / "package")) {
    if (alter) alter(root());
  }

  fs::path root() const { return dir / "package"; }
  InitialPackage load(const HashProgress& progress = {}) const {
    return load_initial_package(root(), built.seal, progress);
  }
  void expect_refused(const Problem& expected, const std::string& context = "") const {
    expect_problem([&] { load(); }, expected, context);
  }
};

// The brand with an icon of the smallest size taken and a theme whose definition names one image.
builder::BrandOptions brand_with_theme() {
  builder::BrandOptions brand{"Nordlys", "nordlys", "Nordlys AS", builder::ico_stub().substr(0, 22), {}};
  Json definition = theme_definition();
  definition["images"] = {{"icon", {{"file", "mark.bmp"}}}};
  brand.theme = builder::ThemeOptions{definition.dump(), {{"mark.bmp", bmp_image(2, 2)}}};
  return brand;
}

void rewrite(const fs::path& file, const std::function<void(std::string&)>& change) {
  std::string bytes = read_file(file);
  change(bytes);
  write_file(file, bytes);
}

Json resource(const std::string& path, std::uint64_t length = 10) {
  return Json{{"path", path}, {"length", length}, {"sha256", kDigest}};
}

Json themed_brand() {
  Json theme{{"definition", resource("theme.json")},
             {"files", {{"body.ttf", resource("theme-body.ttf")}, {"icon.bmp", resource("theme-icon.bmp")}}}};
  return Json{{"name", "Nordlys Arcade"}, {"id", "nordlys"}, {"publisher", "Nordlys AS"},
              {"icon", resource("brand.ico")}, {"theme", theme}};
}

TEST(Brand, RefusesEachFieldThemeAndResourceRule) {
  const std::vector<Mutation> cases{
      {"fifth member", [](Json& b) { b["website"] = "x"; },
       {"invalid_native_package", "Brand has unknown or missing fields"}},
      {"id a number", [](Json& b) { b["id"] = 5; }, {"invalid_native_package", "Brand needs a id"}},
      {"publisher 129", [](Json& b) { b["publisher"] = std::string(129, 'p'); },
       {"invalid_native_package", "Brand publisher must be 1 to 128 bytes of plain text"}},
      {"name with tab", [](Json& b) { b["name"] = "Nord\tlys"; },
       {"invalid_native_package", "Brand name must be 1 to 64 bytes of plain text"}},
      {"trailing dot", [](Json& b) { b["name"] = "Nordlys."; },
       {"invalid_native_package",
        "A brand name is 1 to 64 bytes and also names a folder: no control characters, none of < > : \" / \\ | ? *, and no "
        "leading space or trailing space or dot"}},
      {"icon over 1 MiB", [](Json& b) { b["icon"] = resource("brand.ico", 1048577); }, kTooBig},
      {"file name case", [](Json& b) { b["theme"]["files"]["body.ttf"]["path"] = "theme-Body.ttf"; },
       {"invalid_native_package", "Brand theme files are stored as theme-NAME"}},
      {"definition over 64 KiB", [](Json& b) { b["theme"]["definition"]["length"] = 65537u; }, kTooBig},
      {"file over 4 MiB", [](Json& b) { b["theme"]["files"]["icon.bmp"]["length"] = 4194305u; }, kTooBig},
      {"length zero", [](Json& b) { b["theme"]["files"]["icon.bmp"]["length"] = 0u; }, kTooBig},
  };
  expect_each(cases, themed_brand, [](const Json& brand) { read_brand(Json{{"brand", brand}}); });

  Json at_limits = themed_brand();
  at_limits["name"] = std::string(62, 'n') + "\xC3\xA9";
  at_limits["theme"]["definition"]["length"] = 65536u;
  at_limits["theme"]["files"]["icon.bmp"]["length"] = 4194304u;
  at_limits["icon"]["length"] = 1048576u;
  EXPECT_NO_THROW(read_brand(Json{{"brand", at_limits}}));
}

TEST(InitialPackage, LoadsEveryPartOfAValidPackage) {
  PackageOptions options;
  options.brand = brand_with_theme();
  // A CA bundle of exactly 1 MiB.
  options.ca_bundle = "-----BEGIN CERTIFICATE-----\n" + std::string(1048576 - 28, 'c');
  options.featured_game = builder::FeaturedGame{"star-miner", "Star Miner"};
  const BuiltFolder package(options);
  std::uint64_t last_done = 0, last_total = 0;
  const InitialPackage loaded = package.load([&](std::uint64_t done, std::uint64_t total) {
    EXPECT_GE(done, last_done);
    last_done = done;
    last_total = total;
    return true;
  });
  EXPECT_EQ(loaded.origin, "https://repository.tovra.test");
  EXPECT_EQ(loaded.root_metadata, read_file(package.root() / "root.json"));
  EXPECT_EQ(loaded.ca_bundle, *options.ca_bundle);
  EXPECT_EQ(loaded.featured_game.value().name, "Star Miner");
  EXPECT_EQ(loaded.icon, *options.brand->icon);
  EXPECT_EQ(loaded.theme.files.at("mark.bmp"), bmp_image(2, 2));

  // Progress covers every file but the descriptor, which is hashed against the seal instead.
  std::uint64_t all_files = 0;
  for (const auto& entry : fs::directory_iterator(package.root())) {
    if (entry.path().filename() != builder::descriptor_name) all_files += entry.file_size();
  }
  EXPECT_EQ(last_total, all_files);
  EXPECT_EQ(last_done, all_files);
}

TEST(InitialPackage, SealDirectoryAndLinks) {
  const BuiltFolder package;
  const std::string& seal = package.built.seal;
  // The root given with a trailing separator; a package without a brand has none to read.
  EXPECT_EQ(load_initial_package(package.root().string() + "/", seal, {}).root, package.root());
  EXPECT_FALSE(read_package_brand(package.root(), seal).has_value());

  const Problem no_seal{"native_install_trust",
                        "This installer has no package seal; build it with TOVRA_INITIAL_PACKAGE_SHA256"};
  for (const std::string& bad : {std::string(), std::string(64, 'A'), seal.substr(1), seal + "0"}) {
    expect_problem([&] { load_initial_package(package.dir / "absent", bad, {}); }, no_seal, bad);
    expect_problem([&] { read_package_brand(package.dir / "absent", bad); }, no_seal, bad);
  }

  const Problem other{"native_install_trust", "This package is not the one this installer was built for"};
  write_file(package.root() / builder::descriptor_name, package.built.descriptor + " ");
  expect_problem([&] { load_initial_package(package.root(), seal, {}); }, other, "one more byte");
  expect_problem([&] { read_package_brand(package.root(), seal); }, other, "brand read");

  const Problem choose{"invalid_native_package", "Choose an initial package directory"};
  expect_problem([&] { load_initial_package(package.root() / "root.json", seal, {}); }, choose, "a file");
  TOVRA_NEEDS_SYMLINKS();
  make_directory_symlink(package.root(), package.dir / "link");
  expect_problem([&] { load_initial_package(package.dir / "link", seal, {}); }, choose, "a link");
  expect_problem([&] { load_initial_package((package.dir / "link").string() + "/", seal, {}); }, choose, "a link/");

  const BuiltFolder linked({}, [](const fs::path& r) {
    fs::rename(r / "launcher.tar.zst", r.parent_path() / "outside");
    make_symlink(r.parent_path() / "outside", r / "launcher.tar.zst");
  });
  linked.expect_refused({"invalid_native_package", "Initial package contains an unexpected entry: launcher.tar.zst"});
}

TEST(InitialPackage, DescriptorMembersAreExact) {
  const Problem unknown{"invalid_native_package", "Initial package record has unknown or missing fields"};
  const Problem missing{"invalid_native_package", "Initial package record is missing a field"};
  const Mutation cases[] = {
      {"extra member", [](Json& d) { d["notes"] = "x"; }, unknown},
      {"ca_bundle renamed", [](Json& d) { d.erase("ca_bundle"); d["ca"] = nullptr; }, missing},
      {"schema 2", [](Json& d) { d["schema_version"] = 2; }, {"unsupported_schema", "Unsupported initial package schema"}},
      {"root over 512 KiB", [](Json& d) { d["root"]["length"] = 524289; }, kTooBig},
      {"featured name 81", [](Json& d) { d["featured_game"] = {{"id", "a"}, {"name", std::string(81, 'n')}}; },
       {"invalid_native_package", "Featured game name must be 1 to 80 bytes"}},
      {"featured name empty", [](Json& d) { d["featured_game"] = {{"id", "a"}, {"name", ""}}; },
       {"invalid_native_package", "Featured game name must be 1 to 80 bytes"}},
      {"CA bundle over 1 MiB", [](Json& d) { d["ca_bundle"] = resource("ca.pem", 1048577); }, kTooBig},
      // The featured game is read before the brand, and both before the remainder.
      {"featured before brand",
       [](Json& d) {
         d["featured_game"] = {{"id", "a"}};
         d["brand"] = 1;
       },
       unknown},
      {"brand before remainder", [](Json& d) { d["brand"] = {{"name", "x"}}; d["extra"] = 1; },
       {"invalid_native_package", "Brand has unknown or missing fields"}},
      {"other platform", [](Json& d) { d["platform"] = "linux-x86_64"; },
       {"launcher_incompatible", "This package is for another platform"}},
      {"plain HTTP origin", [](Json& d) { d["origin"] = "http://repository.tovra.test"; },
       {"https_required", "Tovra service URLs must use HTTPS"}},
  };
  for (const auto& c : cases) {
    PackageOptions options;
    options.edit_descriptor = c.edit;
    BuiltFolder(options).expect_refused(c.expected, c.name);
  }
}

TEST(InitialPackage, OriginMustBeAPlainHttpsOrigin) {
  for (const char* origin : {"https://repo.tovra.test:8443", "https://Repo.Tovra.Test", "https://127.0.0.1"}) {
    EXPECT_NO_THROW(check_package_origin(origin)) << origin;
  }
  const std::pair<const char*, Problem> cases[] = {
      {"https://repo.tovra.test/", {"invalid_origin", "The package origin must be a plain HTTPS origin"}},
      {"HTTPS://repo.tovra.test", {"https_required", "Tovra service URLs must use HTTPS"}},
      {"https://user@repo.tovra.test", {"invalid_url", "Service URL must not contain credentials, query, or fragment"}},
      {"https://repo tovra.test", {"invalid_url", "Invalid service URL"}},
  };
  for (const auto& [origin, expected] : cases) expect_problem([&] { check_package_origin(origin); }, expected, origin);
}

// Each rule of the load, in the order the load applies them (links: see above).
TEST(InitialPackage, RefusesEachRuleWithItsProblem) {
  // The bootstrap archive renamed in its manifest only: names are judged before the folder is.
  const auto archive_named = [](const std::string& name) {
    return [name](PackageOptions& o) {
      o.bootstrap.snapshot.edit_manifest = [name](Json& m) { m["archive"]["target"] = name; };
    };
  };
  using Theme = builder::ThemeOptions;
  const auto themed = [](const std::function<void(Theme&)>& edit) {
    return [edit](PackageOptions& o) {
      o.brand = brand_with_theme();
      edit(*o.brand->theme);
    };
  };
  const Problem flat{"invalid_native_package", "Initial package resources need distinct flat names"};
  const Problem overlap{"invalid_native_package", "Initial package resources overlap"};
  const Problem differs{"invalid_native_package", "Brand theme files differ from its definition"};
  const struct {
    const char* name;
    std::function<void(PackageOptions&)> arrange;
    std::function<void(const fs::path&)> alter;  // applied to the built folder
    Problem expected;
  } cases[] = {
      {"icon of 21 bytes", [](PackageOptions& o) { o.brand.emplace().icon = builder::ico_stub().substr(0, 21); }, {},
       {"invalid_native_package", "The brand icon is not an .ico file"}},
      {"theme file unused", themed([](Theme& t) { t.files["spare.bmp"] = bmp_image(2, 2); }), {}, differs},
      // Four files of 4 MiB fill the allowance; a fifth is refused before it is read.
      {"theme files over 16 MiB", themed([](Theme& t) {
         for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"}) t.files[name] = std::string(4194304, 'n');
       }),
       {}, {"size_limit", "Brand theme files exceed 16 MiB together"}},
      {"bad theme image", themed([](Theme& t) { t.files["mark.bmp"][28] = 32; }), {},
       {"invalid_theme", "Theme images must be uncompressed 24-bit BMP files"}},
      // The root's own rules are the trust tests'; here the load must apply them.
      {"root without signed", [](PackageOptions& o) { o.root_bytes = R"({"signatures":[]})"; }, {},
       {"invalid_native_package", "Initial package metadata is malformed"}},
      {"linux launcher", [](PackageOptions& o) { o.launcher.snapshot.platform = "linux-x86_64"; }, {},
       {"launcher_incompatible", "Package images are for another platform"}},
      {"archive named like the descriptor", archive_named(builder::descriptor_name), {}, flat},
      {"leading dot", archive_named(".bootstrap.tar.zst"), {}, flat},
      {"path with a folder", archive_named("images/bootstrap.tar.zst"), {}, flat},
      {"CA bundle named like the root",
       [](PackageOptions& o) { o.edit_descriptor = [](Json& d) { d["ca_bundle"] = d["root"]; }; }, {}, overlap},
      {"archive missing", {}, [](const fs::path& r) { fs::remove(r / "launcher.tar.zst"); },
       {"invalid_native_package", "Initial package is missing a resource"}},
      {"archive one byte longer", {},
       [](const fs::path& r) { rewrite(r / "launcher.tar.zst", [](std::string& b) { b += '!'; }); },
       {"content_mismatch", "Initial package resource has the wrong length"}},
      {"archive content changed", {},
       [](const fs::path& r) { rewrite(r / "launcher.tar.zst", [](std::string& b) { b.back() ^= 1; }); },
       {"content_mismatch", "Initial package resource changed: launcher.tar.zst"}},
      {"root content changed", {},
       [](const fs::path& r) { rewrite(r / "root.json", [](std::string& b) { b.back() = ' '; }); },
       {"content_mismatch", "Initial package resource changed: root.json"}},
  };
  for (const auto& c : cases) {
    PackageOptions options;
    if (c.arrange) c.arrange(options);
    BuiltFolder(options, c.alter).expect_refused(c.expected, c.name);
  }

  const BuiltFolder cancelled;
  expect_problem([&] { cancelled.load([](std::uint64_t, std::uint64_t) { return false; }); },
                 {"cancelled", "File verification cancelled"});
}

TEST(InitialPackage, PayloadBoundIsOneGibibyteTogether) {
  const std::uint64_t half = std::uint64_t{1} << 29;
  const auto declare = [](std::uint64_t bootstrap, std::optional<std::uint64_t> launcher) {
    PackageOptions options;
    options.bootstrap.snapshot.edit_manifest = declare_expanded(bootstrap);
    if (launcher) options.launcher.snapshot.edit_manifest = declare_expanded(*launcher);
    return options;
  };
  EXPECT_NO_THROW(BuiltFolder(declare(half, half)).load());

  const Problem too_large{"size_limit", "Initial package payload is too large"};
  BuiltFolder(declare(half + 1, half)).expect_refused(too_large, "one byte more");
  BuiltFolder(declare((std::uint64_t{1} << 30) + 1, std::nullopt)).expect_refused(too_large, "bootstrap alone");
}

TEST(InitialPackage, BrandReadNeedsOnlyTheDescriptor) {
  PackageOptions options;
  options.brand = brand_with_theme();
  const BuiltFolder package(options, [](const fs::path& r) {
    fs::remove(r / "brand.ico");
    fs::remove(r / "theme-mark.bmp");
  });
  const Brand brand = read_package_brand(package.root(), package.built.seal).value();
  EXPECT_EQ(brand.name, "Nordlys");
  EXPECT_TRUE(brand.icon);
}

}  // namespace
}  // namespace tovra::testing
