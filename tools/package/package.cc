#include "package/package.h"

#include "core/digest.h"
#include "core/error.h"
#include "package/output.h"

namespace tovra::builder {

namespace {

Json resource(std::string_view name, std::string_view bytes) {
  return Json{{"path", name}, {"length", bytes.size()}, {"sha256", digest_hex(bytes, "sha256")}};
}

// Writes one package file and returns its descriptor resource.
Json put(const StagedFolder& folder, std::string_view name, std::string_view bytes) {
  folder.write(name, bytes);
  return resource(name, bytes);
}

std::string document_bytes(const Json& document) { return document.dump(2) + "\n"; }

Json write_release(const StagedFolder& folder, const ReleaseOptions& release, const Json& fields) {
  SnapshotOptions snapshot = release.snapshot;
  Json merged = fields;
  if (snapshot.release_fields.is_object()) merged.update(snapshot.release_fields);
  snapshot.release_fields = merged;
  PackedSnapshot packed = pack_snapshot(release.files, snapshot);
  folder.write(snapshot.target, packed.archive);
  return put(folder, release.manifest_name, document_bytes(packed.manifest));
}

}  // namespace

ReleaseOptions default_bootstrap() {
  ReleaseOptions release;
  release.files["bin/tovra-bootstrap.exe"] = {pe_image_stub(false, "tovra bootstrap"), true};
  release.files["bin/tovra-bootstrap-gui.exe"] = {pe_image_stub(true, "tovra bootstrap window"), true};
  release.files["share/bootstrap.txt"] = {"Tovra bootstrap\n", false};
  release.gui_executable = "bin/tovra-bootstrap-gui.exe";
  release.manifest_name = "bootstrap-manifest.json";
  release.snapshot.build_id = "bootstrap-1";
  release.snapshot.executable = "bin/tovra-bootstrap.exe";
  release.snapshot.target = "bootstrap.tar.zst";
  return release;
}

ReleaseOptions default_launcher() {
  ReleaseOptions release;
  release.files["bin/tovra-launcher.exe"] = {pe_image_stub(false, "tovra launcher"), true};
  release.files["bin/tovra-launcher-gui.exe"] = {pe_image_stub(true, "tovra launcher window"), true};
  release.files["resources/launcher.txt"] = {"Tovra launcher\n", false};
  release.files["resources/empty.dat"] = {"", false};
  release.gui_executable = "bin/tovra-launcher-gui.exe";
  release.manifest_name = "launcher-manifest.json";
  release.snapshot.build_id = "launcher-1";
  release.snapshot.executable = "bin/tovra-launcher.exe";
  release.snapshot.target = "launcher.tar.zst";
  return release;
}

std::string default_theme_definition() {
  // The built-in palette with darker hover colours: white text on the built-in accent_hover
  // (#3474de, 4.47:1) and danger_hover (#d6425c, 4.38:1) is below the 4.5:1 a packaged theme needs.
  const Json colors{{"background", "#14181f"},   {"panel", "#1d232e"},         {"raised", "#28303e"},
                    {"well", "#14181f"},         {"border", "#546073"},        {"hover", "#28303e"},
                    {"text", "#f0f3f7"},         {"muted", "#aab5c4"},         {"accent", "#2563c9"},
                    {"accent_hover", "#2a5fc0"}, {"accent_text", "#ffffff"},   {"danger", "#c4314b"},
                    {"danger_hover", "#b02a43"}, {"danger_text", "#ffffff"},   {"warning", "#f0b429"},
                    {"success", "#3fb37f"},      {"focus", "#ffd24a"},         {"disabled", "#303744"},
                    {"disabled_text", "#7d8796"}, {"paper", "#0d1117"},        {"ink", "#f0f3f7"},
                    {"ink_muted", "#aab5c4"}};
  return document_bytes(Json{{"schema_version", 1}, {"kind", "tovra-theme"}, {"colors", colors}});
}

std::string bmp_image(std::uint32_t width, std::uint32_t height) {
  const auto le32 = [](std::uint32_t value) {
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i) out[static_cast<std::size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
  };
  const std::uint32_t stride = (width * 3 + 3) / 4 * 4;
  const std::uint32_t size = stride * height + 54;
  std::string out = "BM" + le32(size) + le32(0) + le32(54) + le32(40) + le32(width) + le32(height) +
                    std::string("\x01\x00\x18\x00", 4) + le32(0) + le32(stride * height) + le32(2835) + le32(2835) +
                    le32(0) + le32(0);
  out.resize(size, '\x7f');
  return out;
}

std::string ico_stub() {
  // ICONDIR (reserved 0, type 1, one image) and one 16-byte directory entry.
  std::string icon("\x00\x00\x01\x00\x01\x00", 6);
  icon.append(std::string("\x10\x10\x00\x00\x01\x00\x20\x00\x04\x00\x00\x00\x16\x00\x00\x00", 16));
  icon.append(std::string(4, '\0'));
  return icon;
}

BuiltPackage build_package_files(const PackageOptions& options, const std::filesystem::path& out_dir) {
  initialize_crypto();
  StagedFolder folder(out_dir);
  BuiltPackage built;

  std::vector<std::shared_ptr<const SigningKey>> signers = options.signers;
  if (signers.empty() && !options.root_bytes) {
    signers.push_back(std::make_shared<const SigningKey>(generate_key("ed25519")));
  }
  std::vector<const SigningKey*> signing;
  for (const auto& key : signers) signing.push_back(key.get());
  std::string root_file;
  if (options.root_bytes) {
    root_file = *options.root_bytes;
  } else {
    built.root = sign_root(options.root ? *options.root : root_with_keys(signing), signing);
    root_file = document_bytes(built.root);
  }

  Json descriptor{{"schema_version", 1}, {"kind", "tovra-initial-package"}, {"platform", options.platform},
                  {"origin", options.origin}};
  descriptor["root"] = put(folder, "root.json", root_file);
  descriptor["ca_bundle"] = options.ca_bundle ? put(folder, "repository-ca.pem", *options.ca_bundle) : Json(nullptr);
  descriptor["bootstrap_manifest"] =
      write_release(folder, options.bootstrap, bootstrap_release_fields(options.bootstrap.gui_executable));
  descriptor["launcher_manifest"] = write_release(
      folder, options.launcher, launcher_release_fields(options.launcher.gui_executable, options.launcher.helpers));
  if (options.featured_game) {
    descriptor["featured_game"] = Json{{"id", options.featured_game->id}, {"name", options.featured_game->name}};
  }
  if (options.brand) {
    const BrandOptions& brand = *options.brand;
    Json object{{"name", brand.name}, {"id", brand.id}, {"publisher", brand.publisher}};
    object["icon"] = brand.icon ? put(folder, "brand.ico", *brand.icon) : Json(nullptr);
    if (brand.theme) {
      Json files = Json::object();
      for (const auto& [name, bytes] : brand.theme->files) files[name] = put(folder, "theme-" + name, bytes);
      object["theme"] = Json{{"definition", put(folder, "theme.json", brand.theme->definition)}, {"files", files}};
    }
    descriptor["brand"] = std::move(object);
  }
  for (const auto& [name, bytes] : options.extra_files) folder.write(name, bytes);
  if (options.edit_descriptor) options.edit_descriptor(descriptor);

  built.descriptor = document_bytes(descriptor);
  folder.write(descriptor_name, built.descriptor);
  built.seal = digest_hex(built.descriptor, "sha256");
  if (options.verify) options.verify(folder.path(), built.seal);
  folder.commit();
  return built;
}

std::string build_package(const PackageOptions& options, const std::filesystem::path& out_dir) {
  return build_package_files(options, out_dir).seal;
}

std::string seal_source(const std::string& seal) {
  require(seal.size() == 64 && seal.find_first_not_of("0123456789abcdef") == std::string::npos, "input",
          "A package seal is 64 lower-case hexadecimal digits");
  return "namespace tovra {\nextern const char* const kInitialPackageSeal;\n"
         "const char* const kInitialPackageSeal = \"" + seal + "\";\n}\n";
}

}  // namespace tovra::builder
