#include "package/initial_package.h"

#include <curl/curl.h>

#include <memory>
#include <set>
#include <vector>

#include "core/error.h"
#include "core/json.h"
#include "core/paths.h"
#include "package/json_rules.h"
#include "platform/directory_listing.h"
#include "platform/read_file.h"
#include "trust/tuf.h"

namespace tovra {
namespace {

constexpr const char* kPlatform = "windows-x86_64";

struct UrlDeleter {
  void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};
struct CurlTextDeleter {
  void operator()(char* text) const noexcept { curl_free(text); }
};

void initialize_url_library() {
  static const CURLcode status = curl_global_init(CURL_GLOBAL_DEFAULT);
  require(status == CURLE_OK, "transport", "Cannot initialize HTTPS library");
  initialize_crypto();
}

bool has_part(CURLU* url, CURLUPart part) {
  char* raw = nullptr;
  const CURLUcode status = curl_url_get(url, part, &raw, 0);
  const std::unique_ptr<char, CurlTextDeleter> text(raw);
  return status == CURLUE_OK;
}

void check_seal(std::string_view seal) {
  require(package_detail::is_lower_sha256(Json(std::string(seal))), "native_install_trust",
          "This installer has no package seal; build it with TOVRA_INITIAL_PACKAGE_SHA256");
}

// Steps shared with the light brand read: the descriptor must hash to the seal before any of
// its content is looked at.
Json read_sealed_descriptor(const std::filesystem::path& root, std::string_view seal) {
  const std::string bytes = read_bounded_file(root / package_descriptor_name, descriptor_read_limit);
  require(digest_hex(bytes, "sha256") == seal, "native_install_trust",
          "This package is not the one this installer was built for");
  return parse_json(bytes, descriptor_read_limit);
}

std::optional<FeaturedGame> read_featured_game(const Json& descriptor) {
  if (!descriptor.contains("featured_game")) return std::nullopt;
  const Json& value = descriptor["featured_game"];
  require_exact_members(value, {"id", "name"});
  require(value["id"].is_string() && value["name"].is_string(), "invalid_native_package",
          "Featured game must name an id and a display name");
  FeaturedGame game{value["id"].get<std::string>(), value["name"].get<std::string>()};
  check_identifier(game.id);
  require(!game.name.empty() && game.name.size() <= 80, "invalid_native_package",
          "Featured game name must be 1 to 80 bytes");
  return game;
}

void check_listing(const std::filesystem::path& root, const std::set<std::string>& names) {
  std::size_t count = 0;
  list_directory(root, [&](const DirectoryEntry& entry) {
    ++count;
    require(count <= names.size() && names.contains(entry.name) && entry.regular && !entry.link,
            "invalid_native_package", "Initial package contains an unexpected entry: " + entry.name);
    return true;
  });
  require(count == names.size(), "invalid_native_package", "Initial package is missing a resource");
}

void verify_resources(const std::filesystem::path& root, const std::vector<PackageResource>& resources,
                      const HashProgress& progress) {
  std::uint64_t overall = 0;
  for (const PackageResource& resource : resources) {
    require(resource.length <= UINT64_MAX - overall, "size_limit", "Initial package payload is too large");
    overall += resource.length;
  }
  std::uint64_t base = 0;
  for (const PackageResource& resource : resources) {
    const std::filesystem::path path = root / native_path(resource.path);
    require(path_kind(path) == PathKind::file, "invalid_native_package",
            "Initial package resource is missing or not a plain file");
    const std::optional<std::uint64_t> size = ReadOnlyFile::open(path).size();
    require(size.has_value() && *size == resource.length, "content_mismatch",
            "Initial package resource has the wrong length");
    const std::string digest =
        hash_file(path, "sha256", declared_length_guard(resource.length, base, overall, progress));
    require(digest == resource.sha256, "content_mismatch", "Initial package resource changed: " + resource.path);
    base += resource.length;
  }
}

InitialPackage load(const std::filesystem::path& root, std::string_view seal, const HashProgress& progress) {
  InitialPackage package;
  package.root = root;
  package.descriptor_sha256 = std::string(seal);
  Json document = read_sealed_descriptor(root, seal);
  const Json& descriptor = document;

  package.featured_game = read_featured_game(descriptor);
  const BrandRead brand = read_brand(descriptor);
  package.brand = brand.brand;
  if (document.is_object()) {
    document.erase("featured_game");
    document.erase("brand");
  }
  require_exact_members(descriptor, {"schema_version", "kind", "platform", "origin", "root", "ca_bundle",
                                     "bootstrap_manifest", "launcher_manifest"});
  require(
      package_detail::integer_equals(descriptor["schema_version"], 1) && descriptor["kind"] == "tovra-initial-package",
      "unsupported_schema", "Unsupported initial package schema");
  require(descriptor["platform"] == kPlatform, "launcher_incompatible", "This package is for another platform");
  package.origin = descriptor["origin"].get<std::string>();
  check_package_origin(package.origin);

  const PackageResource root_file = read_package_resource(descriptor["root"], manifest_read_limit);
  const PackageResource bootstrap_file = read_package_resource(descriptor["bootstrap_manifest"], manifest_read_limit);
  const PackageResource launcher_file = read_package_resource(descriptor["launcher_manifest"], manifest_read_limit);
  std::vector<PackageResource> resources{root_file, bootstrap_file, launcher_file};
  std::optional<PackageResource> ca_file;
  if (!descriptor["ca_bundle"].is_null()) {
    ca_file = read_package_resource(descriptor["ca_bundle"], ca_bundle_limit);
    resources.push_back(*ca_file);
  }

  package.root_metadata = load_package_resource(root, root_file, manifest_read_limit);
  package.bootstrap_manifest_bytes = load_package_resource(root, bootstrap_file, manifest_read_limit);
  package.launcher_manifest_bytes = load_package_resource(root, launcher_file, manifest_read_limit);
  if (ca_file) package.ca_bundle = load_package_resource(root, *ca_file, ca_bundle_limit);

  if (brand.icon) {
    resources.push_back(*brand.icon);
    package.icon = load_package_resource(root, *brand.icon, icon_limit);
    require(package.icon.size() >= 22 && package.icon.compare(0, 4, std::string("\0\0\1\0", 4)) == 0,
            "invalid_native_package", "The brand icon is not an .ico file");
  }
  if (brand.theme) {
    resources.push_back(brand.theme->definition);
    for (const auto& [name, resource] : brand.theme->files) resources.push_back(resource);
    package.theme = read_sealed_theme(root, *brand.theme);
  }

  check_initial_root(package.root_metadata);
  package.bootstrap = parse_bootstrap_manifest(package.bootstrap_manifest_bytes);
  package.launcher = parse_initial_launcher(package.launcher_manifest_bytes);
  require(package.bootstrap.platform == kPlatform && package.launcher.platform == kPlatform, "launcher_incompatible",
          "Package images are for another platform");
  const std::uint64_t bootstrap_size = package.bootstrap.expanded_length;
  require(
      bootstrap_size <= max_package_payload && package.launcher.expanded_length <= max_package_payload - bootstrap_size,
      "size_limit", "Initial package payload is too large");
  resources.push_back({package.bootstrap.target, package.bootstrap.length, package.bootstrap.sha256});
  resources.push_back({package.launcher.target, package.launcher.length, package.launcher.sha256});

  std::set<std::string> names{package_descriptor_name};
  for (const PackageResource& resource : resources) {
    check_resource_name(resource.path);
    require(names.insert(resource.path).second, "invalid_native_package", "Initial package resources overlap");
  }
  check_listing(root, names);
  verify_resources(root, resources, progress);
  return package;
}

}  // namespace

void check_package_origin(const std::string& origin) {
  initialize_url_library();
  const std::string service = origin + "/tuf/metadata/";
  require(service.starts_with("https://"), "https_required", "Tovra service URLs must use HTTPS");
  const std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
  require(url != nullptr, "transport", "Cannot initialize HTTPS library");
  require(curl_url_set(url.get(), CURLUPART_URL, service.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK, "invalid_url",
          "Invalid service URL");
  require(has_part(url.get(), CURLUPART_HOST), "invalid_url", "URL must contain a hostname");
  require(!has_part(url.get(), CURLUPART_USER) && !has_part(url.get(), CURLUPART_PASSWORD) &&
              !has_part(url.get(), CURLUPART_QUERY) && !has_part(url.get(), CURLUPART_FRAGMENT),
          "invalid_url", "Service URL must not contain credentials, query, or fragment");
  const std::size_t slash = service.find('/', 8);
  require(service.substr(0, slash) == origin, "invalid_origin", "The package origin must be a plain HTTPS origin");
}

InitialPackage load_initial_package(const std::filesystem::path& directory, std::string_view seal,
                                    const HashProgress& progress) {
  check_seal(seal);
  std::filesystem::path root = std::filesystem::absolute(directory).lexically_normal();
  if (!root.has_filename() && root.has_relative_path()) root = root.parent_path();
  // Checked without a trailing separator, which would resolve a final link.
  require(path_kind(root) == PathKind::directory, "invalid_native_package", "Choose an initial package directory");
  try {
    return load(root, seal, progress);
  } catch (const Json::exception&) {
    throw Error("invalid_native_package", "Initial package metadata is malformed");
  }
}

std::optional<Brand> read_package_brand(const std::filesystem::path& directory, std::string_view seal) {
  check_seal(seal);
  try {
    return read_brand(read_sealed_descriptor(directory, seal)).brand;
  } catch (const Json::exception&) {
    throw Error("invalid_native_package", "Initial package metadata is malformed");
  }
}

}  // namespace tovra
