#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <optional>

#include "core/digest.h"
#include "package/initial_package.h"
#include "samples.h"
#include "support/temp_dir.h"
#include "trust/test_keys.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
using testing::expect_problem;
using testing::inventory_file;
using testing::Problem;
using testing::sum_lengths;

// A package laid out by hand: files by name, the two manifests, and the descriptor made from
// them. write() puts everything on disk and returns the seal.
struct HandPackage {
  testing::TempDir dir;
  std::map<std::string, std::string> files{{"root.json", testing::sample_root_bytes()},
                                           {"bootstrap.tar.zst", "bootstrap archive bytes"},
                                           {"launcher.tar.zst", "launcher archive bytes, a little longer"}};
  Json bootstrap = testing::bootstrap_document();
  Json launcher = testing::launcher_document();
  std::optional<Json> brand;
  std::optional<std::string> ca_bundle;
  Json featured_game;
  std::function<void(Json&)> edit_descriptor;
  std::function<void(const fs::path&)> after_write;  // changes the files once the seal is taken
  std::string descriptor;

  fs::path root() const { return dir / "package"; }

  Json resource(const std::string& name) const {
    const std::string& bytes = files.at(name);
    return Json{{"path", name}, {"length", bytes.size()}, {"sha256", digest_hex(bytes, "sha256")}};
  }

  void point_archive(Json& manifest, const std::string& name) {
    if (manifest["archive"]["target"] != "snapshot.tar.zst") return;  // a test chose its own
    manifest["archive"]["target"] = name;
    manifest["archive"]["length"] = files.at(name).size();
    manifest["archive"]["sha256"] = digest_hex(files.at(name), "sha256");
  }

  // The brand with an icon and a theme whose definition names one image.
  void add_brand_with_theme() {
    files["brand.ico"] = std::string("\0\0\1\0", 4) + std::string(18, '\x01');
    Json definition = testing::theme_definition();
    definition["images"] = {{"icon", {{"file", "mark.bmp"}}}};
    files["theme.json"] = definition.dump();
    files["theme-mark.bmp"] = testing::bmp(2, 2);
    brand = Json{{"name", "Nordlys"}, {"id", "nordlys"}, {"publisher", "Nordlys AS"}, {"icon", "brand.ico"}};
    (*brand)["theme"] = {{"definition", "theme.json"}, {"files", {{"mark.bmp", "theme-mark.bmp"}}}};
  }

  std::string write() {
    point_archive(bootstrap, "bootstrap.tar.zst");
    point_archive(launcher, "launcher.tar.zst");
    files.emplace("bootstrap.json", bootstrap.dump());
    files.emplace("launcher.json", launcher.dump());
    Json document{{"schema_version", 1},
                  {"kind", "tovra-initial-package"},
                  {"platform", "windows-x86_64"},
                  {"origin", "https://repository.tovra.test"},
                  {"root", resource("root.json")},
                  {"ca_bundle", nullptr},
                  {"bootstrap_manifest", resource("bootstrap.json")},
                  {"launcher_manifest", resource("launcher.json")}};
    if (ca_bundle) {
      files[*ca_bundle] = "-----BEGIN CERTIFICATE-----\n";
      document["ca_bundle"] = resource(*ca_bundle);
    }
    if (brand) {
      Json value = *brand;
      if (value["icon"].is_string()) value["icon"] = resource(value["icon"]);
      if (value.contains("theme")) {
        Json& theme = value["theme"];
        theme["definition"] = resource(theme["definition"]);
        for (auto& [name, file] : theme["files"].items()) file = resource(file);
      }
      document["brand"] = value;
    }
    if (!featured_game.is_null()) document["featured_game"] = featured_game;
    if (edit_descriptor) edit_descriptor(document);
    descriptor = document.dump(2);
    fs::create_directory(root());
    for (const auto& [name, bytes] : files) testing::write_file(root() / name, bytes);
    testing::write_file(root() / "initial-package.json", descriptor);
    if (after_write) after_write(root());
    return digest_hex(descriptor, "sha256");
  }

  InitialPackage load(const HashProgress& progress = {}) {
    const std::string seal = write();
    return load_initial_package(root(), seal, progress);
  }

  void expect_refused(const Problem& expected, const std::string& context = "") {
    const std::string seal = write();
    expect_problem([&] { load_initial_package(root(), seal, {}); }, expected, context);
  }
};

TEST(InitialPackage, LoadsEveryPartOfAValidPackage) {
  HandPackage package;
  package.add_brand_with_theme();
  package.ca_bundle = "repository-ca.pem";
  package.featured_game = {{"id", "star-miner"}, {"name", "Star Miner"}};
  std::uint64_t last_done = 0, last_total = 0;
  const InitialPackage loaded = package.load([&](std::uint64_t done, std::uint64_t total) {
    EXPECT_GE(done, last_done);
    last_done = done;
    last_total = total;
    return true;
  });
  EXPECT_EQ(loaded.root, package.root());
  EXPECT_EQ(loaded.origin, "https://repository.tovra.test");
  EXPECT_EQ(loaded.root_metadata, package.files.at("root.json"));
  EXPECT_EQ(loaded.ca_bundle, "-----BEGIN CERTIFICATE-----\n");
  EXPECT_EQ(loaded.bootstrap_manifest_bytes, package.files.at("bootstrap.json"));
  ASSERT_TRUE(loaded.featured_game.has_value());
  EXPECT_EQ(loaded.featured_game->name, "Star Miner");
  EXPECT_EQ(loaded.icon, package.files.at("brand.ico"));
  EXPECT_EQ(loaded.theme.definition, package.files.at("theme.json"));
  EXPECT_EQ(loaded.theme.files.at("mark.bmp"), package.files.at("theme-mark.bmp"));

  std::uint64_t all_files = 0;
  for (const auto& [name, bytes] : package.files) all_files += bytes.size();
  EXPECT_EQ(last_total, all_files);
  EXPECT_EQ(last_done, all_files);

  // A plain package: no brand, no CA bundle, and the root given with a trailing separator.
  HandPackage plain;
  const std::string seal = plain.write();
  const InitialPackage bare = load_initial_package(plain.root().string() + "/", seal, {});
  EXPECT_EQ(bare.root, plain.root());
  EXPECT_FALSE(bare.brand || bare.featured_game);
  EXPECT_TRUE(bare.icon.empty() && bare.ca_bundle.empty() && bare.theme.empty());
}

TEST(InitialPackage, SealAndDirectoryComeFirst) {
  HandPackage package;
  const std::string seal = package.write();
  const Problem no_seal{"native_install_trust",
                        "This installer has no package seal; build it with TOVRA_INITIAL_PACKAGE_SHA256"};
  std::string upper = seal;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& bad : {std::string(), upper, seal.substr(1), seal + "0"}) {
    expect_problem([&] { load_initial_package(package.dir / "absent", bad, {}); }, no_seal, bad);
    expect_problem([&] { read_package_brand(package.dir / "absent", bad); }, no_seal, bad);
  }

  const Problem choose{"invalid_native_package", "Choose an initial package directory"};
  expect_problem([&] { load_initial_package(package.root() / "root.json", seal, {}); }, choose, "a file");
  fs::create_directory_symlink(package.root(), package.dir / "link");
  expect_problem([&] { load_initial_package(package.dir / "link", seal, {}); }, choose, "a link");
  expect_problem([&] { load_initial_package((package.dir / "link").string() + "/", seal, {}); }, choose, "a link/");

  const Problem other{"native_install_trust", "This package is not the one this installer was built for"};
  testing::write_file(package.root() / "initial-package.json", package.descriptor + " ");
  expect_problem([&] { load_initial_package(package.root(), seal, {}); }, other, "one more byte");
  expect_problem([&] { read_package_brand(package.root(), seal); }, other, "brand read");
  std::string changed = package.descriptor;
  changed[changed.find("windows")] = 'W';
  testing::write_file(package.root() / "initial-package.json", changed);
  expect_problem([&] { load_initial_package(package.root(), seal, {}); }, other, "one changed byte");
}

TEST(InitialPackage, DescriptorMembersAreExact) {
  const Problem unknown{"invalid_native_package", "Initial package record has unknown or missing fields"};
  const Problem missing{"invalid_native_package", "Initial package record is missing a field"};
  const Problem malformed{"invalid_native_package", "Initial package metadata is malformed"};
  const struct {
    const char* name;
    std::function<void(Json&)> edit;
    Problem expected;
  } cases[] = {
      {"extra member", [](Json& d) { d["notes"] = "x"; }, unknown},
      {"ca_bundle absent", [](Json& d) { d.erase("ca_bundle"); }, unknown},
      {"ca_bundle renamed", [](Json& d) { d.erase("ca_bundle"); d["ca"] = nullptr; }, missing},
      {"not an object", [](Json& d) { d = Json::array({1, 2, 3, 4, 5, 6, 7, 8}); }, unknown},
      {"schema 2", [](Json& d) { d["schema_version"] = 2; }, {"unsupported_schema", "Unsupported initial package schema"}},
      {"platform", [](Json& d) { d["platform"] = "linux-x86_64"; },
       {"launcher_incompatible", "This package is for another platform"}},
      {"origin number", [](Json& d) { d["origin"] = 443; }, malformed},
      {"root text", [](Json& d) { d["root"] = "root.json"; }, unknown},
      {"root over 512 KiB", [](Json& d) { d["root"]["length"] = 524289; },
       {"size_limit", "Initial package resource exceeds its size limit"}},
      {"featured extra", [](Json& d) { d["featured_game"] = {{"id", "a"}, {"name", "A"}, {"x", 1}}; }, unknown},
      {"featured renamed", [](Json& d) { d["featured_game"] = {{"id", "a"}, {"title", "A"}}; }, missing},
      {"featured id number", [](Json& d) { d["featured_game"] = {{"id", 1}, {"name", "A"}}; },
       {"invalid_native_package", "Featured game must name an id and a display name"}},
      {"featured id", [](Json& d) { d["featured_game"] = {{"id", "Star"}, {"name", "A"}}; },
       {"invalid_identity", "Game and build IDs use lower-case letters, digits, dots and hyphens"}},
      {"featured name 81", [](Json& d) { d["featured_game"] = {{"id", "a"}, {"name", std::string(81, 'n')}}; },
       {"invalid_native_package", "Featured game name must be 1 to 80 bytes"}},
      // The featured game is read before the brand, and both before the remainder.
      {"featured before brand",
       [](Json& d) {
         d["featured_game"] = {{"id", "a"}};
         d["brand"] = 1;
         d["extra"] = 1;
       },
       unknown},
      {"brand before remainder", [](Json& d) { d["brand"] = {{"name", "x"}}; d["extra"] = 1; },
       {"invalid_native_package", "Brand has unknown or missing fields"}},
  };
  for (const auto& c : cases) {
    HandPackage package;
    package.edit_descriptor = c.edit;
    package.expect_refused(c.expected, c.name);
  }
}

TEST(InitialPackage, OriginMustBeAPlainHttpsOrigin) {
  for (const char* origin : {"https://repo.tovra.test", "https://repo.tovra.test:8443", "https://Repo.Tovra.Test",
                             "https://127.0.0.1"}) {
    EXPECT_NO_THROW(check_package_origin(origin)) << origin;
  }
  const Problem plain{"invalid_origin", "The package origin must be a plain HTTPS origin"};
  const Problem https{"https_required", "Tovra service URLs must use HTTPS"};
  const Problem credentials{"invalid_url", "Service URL must not contain credentials, query, or fragment"};
  const struct {
    const char* origin;
    Problem expected;
  } cases[] = {
      {"https://repo.tovra.test/", plain},
      {"HTTPS://repo.tovra.test", https},
      {"http://repo.tovra.test", https},
      {"ftp://repo.tovra.test", https},
      {"https://user@repo.tovra.test", credentials},
      {"https://:secret@repo.tovra.test", credentials},
      {"https://repo.tovra.test?x=1", credentials},
      {"https://repo.tovra.test#top", credentials},
      {"https://repo tovra.test", {"invalid_url", "Invalid service URL"}},
  };
  for (const auto& c : cases) expect_problem([&] { check_package_origin(c.origin); }, c.expected, c.origin);

  HandPackage package;
  package.edit_descriptor = [](Json& d) { d["origin"] = "http://repository.tovra.test"; };
  package.expect_refused(https);
}

void rewrite(const fs::path& file, const std::function<void(std::string&)>& change) {
  std::string bytes = testing::read_file(file);
  change(bytes);
  testing::write_file(file, bytes);
}

void retarget(Json& manifest, const std::string& target, const std::string& bytes) {
  manifest["archive"] = {{"format", "tar.zst-v1"}, {"target", target}, {"length", bytes.size()},
                         {"sha256", digest_hex(bytes, "sha256")}};
}

void plain_brand(HandPackage& p, const std::string& icon) {
  p.files["brand.ico"] = icon;
  p.brand = Json{{"name", "Nordlys"}, {"id", "nordlys"}, {"publisher", "Nordlys AS"}, {"icon", "brand.ico"}};
}

// Each rule of the load, in the order the load applies them.
TEST(InitialPackage, RefusesEachRuleWithItsProblem) {
  const auto unexpected = [](const std::string& name) {
    return Problem{"invalid_native_package", "Initial package contains an unexpected entry: " + name};
  };
  const auto relink = [](const fs::path& root) {
    fs::rename(root / "launcher.tar.zst", root.parent_path() / "outside");
    fs::create_symlink(root.parent_path() / "outside", root / "launcher.tar.zst");
  };
  const Problem flat{"invalid_native_package", "Initial package resources need distinct flat names"};
  const Problem overlap{"invalid_native_package", "Initial package resources overlap"};
  const Problem not_ico{"invalid_native_package", "The brand icon is not an .ico file"};
  const Problem differs{"invalid_native_package", "Brand theme files differ from its definition"};
  const std::string ico_head("\0\0\1\0", 4);
  const struct {
    const char* name;
    std::function<void(HandPackage&)> arrange;
    Problem expected;
  } cases[] = {
      {"icon of 21 bytes", [&](HandPackage& p) { plain_brand(p, ico_head + std::string(17, 'x')); }, not_ico},
      {"cursor file", [](HandPackage& p) { plain_brand(p, std::string("\0\0\2\0", 4) + std::string(18, 'x')); }, not_ico},
      {"theme file unused",
       [](HandPackage& p) {
         p.add_brand_with_theme();
         p.files["theme-spare.bmp"] = testing::bmp(2, 2);
         (*p.brand)["theme"]["files"]["spare.bmp"] = "theme-spare.bmp";
       },
       differs},
      {"theme file missing",
       [](HandPackage& p) {
         p.add_brand_with_theme();
         p.files["theme.json"] = R"({"schema_version":1,"kind":"tovra-theme","colors":{}})";
       },
       differs},
      {"bad theme image", [](HandPackage& p) { p.add_brand_with_theme(); p.files["theme-mark.bmp"][28] = 32; },
       {"invalid_theme", "Theme images must be uncompressed 24-bit BMP files"}},
      {"expired root", [](HandPackage& p) { p.files["root.json"] = testing::sample_root_bytes("2000-01-01T00:00:00Z"); },
       {"expired_metadata", "The initial package's TUF root has expired"}},
      {"root without signed", [](HandPackage& p) { p.files["root.json"] = R"({"signatures":[]})"; },
       {"invalid_native_package", "Initial package metadata is malformed"}},
      {"old launcher", [](HandPackage& p) { p.launcher["runtime_lease_abi"] = 1; },
       {"launcher_incompatible", "Unsupported launcher runtime contract"}},
      {"linux bootstrap",
       [](HandPackage& p) {
         p.bootstrap = testing::snapshot_document("linux-x86_64", "bin/tovra-bootstrap");
         p.bootstrap["kind"] = "tovra-bootstrap-release";
         p.bootstrap["bootstrap_abi"] = 1;
       },
       {"launcher_incompatible", "Package images are for another platform"}},
      {"archive named like the descriptor", [](HandPackage& p) { retarget(p.bootstrap, "initial-package.json", "x"); }, flat},
      {"leading dot", [](HandPackage& p) { p.ca_bundle = ".ca.pem"; }, flat},
      {"path with a folder",
       [](HandPackage& p) {
         fs::create_directories(p.root() / "certs");
         p.ca_bundle = "certs/ca.pem";
       },
       flat},
      {"CA bundle named like the root", [](HandPackage& p) { p.edit_descriptor = [](Json& d) { d["ca_bundle"] = d["root"]; }; },
       overlap},
      {"one archive for both",
       [](HandPackage& p) { retarget(p.launcher, "bootstrap.tar.zst", p.files.at("bootstrap.tar.zst")); }, overlap},
      {"extra file", [](HandPackage& p) { p.files["notes.txt"] = "hello"; }, unexpected("notes.txt")},
      {"subfolder", [](HandPackage& p) { fs::create_directories(p.root() / "extra"); }, unexpected("extra")},
      {"dangling link",
       [](HandPackage& p) {
         fs::create_directories(p.root());
         fs::create_symlink(p.dir / "elsewhere", p.root() / "dangling");
       },
       unexpected("dangling")},
      {"archive through a link", [&](HandPackage& p) { p.after_write = relink; }, unexpected("launcher.tar.zst")},
      {"archive missing", [](HandPackage& p) { p.after_write = [](const fs::path& r) { fs::remove(r / "launcher.tar.zst"); }; },
       {"invalid_native_package", "Initial package is missing a resource"}},
      {"archive one byte longer",
       [](HandPackage& p) { p.after_write = [](const fs::path& r) { rewrite(r / "launcher.tar.zst", [](std::string& b) { b += '!'; }); }; },
       {"content_mismatch", "Initial package resource has the wrong length"}},
      {"archive content changed",
       [](HandPackage& p) { p.after_write = [](const fs::path& r) { rewrite(r / "launcher.tar.zst", [](std::string& b) { b.back() ^= 1; }); }; },
       {"content_mismatch", "Initial package resource changed: launcher.tar.zst"}},
      {"root content changed",
       [](HandPackage& p) { p.after_write = [](const fs::path& r) { rewrite(r / "root.json", [](std::string& b) { b.back() = ' '; }); }; },
       {"content_mismatch", "Initial package resource changed: root.json"}},
  };
  for (const auto& c : cases) {
    HandPackage package;
    c.arrange(package);
    package.expect_refused(c.expected, c.name);
  }

  HandPackage icon;
  plain_brand(icon, ico_head + std::string(18, 'x'));
  EXPECT_EQ(icon.load().icon.size(), 22u);
  HandPackage cancelled;
  expect_problem([&] { cancelled.load([](std::uint64_t, std::uint64_t) { return false; }); },
                 {"cancelled", "File verification cancelled"});
}

TEST(InitialPackage, ThemeFilesTogetherStayWithin16MiB) {
  // Four files of 4 MiB fill the allowance; a fifth is refused before it is read.
  HandPackage package;
  package.add_brand_with_theme();
  for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"}) {
    package.files[std::string("theme-") + name] = std::string(4194304, 'n');
    (*package.brand)["theme"]["files"][name] = std::string("theme-") + name;
  }
  package.expect_refused({"size_limit", "Brand theme files exceed 16 MiB together"});
}

TEST(InitialPackage, PayloadBoundIsOneGibibyteTogether) {
  const auto declare = [](HandPackage& package, std::uint64_t bootstrap, std::uint64_t launcher) {
    package.bootstrap["files"][1]["length"] = bootstrap - 17;
    sum_lengths(package.bootstrap);
    package.launcher["files"][1]["length"] = launcher - 27;
    sum_lengths(package.launcher);
  };
  const std::uint64_t half = std::uint64_t{1} << 29;
  HandPackage fits;
  declare(fits, half, half);
  const InitialPackage loaded = fits.load();
  EXPECT_EQ(loaded.bootstrap.expanded_length + loaded.launcher.expanded_length, std::uint64_t{1} << 30);

  HandPackage over;
  declare(over, half + 1, half);
  over.expect_refused({"size_limit", "Initial package payload is too large"});
  HandPackage bootstrap_alone;
  declare(bootstrap_alone, (std::uint64_t{1} << 30) + 1, 32);
  bootstrap_alone.expect_refused({"size_limit", "Initial package payload is too large"});
}

TEST(InitialPackage, BrandReadNeedsOnlyTheDescriptor) {
  HandPackage package;
  package.add_brand_with_theme();
  const std::string seal = package.write();
  fs::remove(package.root() / "brand.ico");
  fs::remove(package.root() / "theme-mark.bmp");
  const auto brand = read_package_brand(package.root(), seal);
  ASSERT_TRUE(brand.has_value());
  EXPECT_EQ(brand->name, "Nordlys");
  EXPECT_TRUE(brand->icon);

  HandPackage plain;
  EXPECT_FALSE(read_package_brand(plain.root(), plain.write()).has_value());

  HandPackage broken;
  broken.edit_descriptor = [](Json& d) { d["brand"] = {{"name", "Nordlys"}, {"icon", nullptr}, {"id", 5}, {"publisher", "x"}}; };
  const std::string broken_seal = broken.write();
  expect_problem([&] { read_package_brand(broken.root(), broken_seal); }, {"invalid_native_package", "Brand needs a id"});
}

}  // namespace
}  // namespace tovra
