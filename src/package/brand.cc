#include "package/brand.h"

#include <cstddef>
#include <exception>
#include <string_view>

#include "core/error.h"
#include "core/paths.h"

namespace tovra {
namespace {

bool is_plain_text(std::string_view text) {
  for (unsigned char c : text) {
    if (c <= 0x1F || c == 0x7F) return false;
  }
  return true;
}

std::string brand_text(const Json& value, const char* key, std::size_t maximum) {
  const auto found = value.find(key);
  require(found != value.end() && found->is_string(), "invalid_native_package", std::string("Brand needs a ") + key);
  std::string text = found->get<std::string>();
  require(!text.empty() && text.size() <= maximum && is_plain_text(text), "invalid_native_package",
          std::string("Brand ") + key + " must be 1 to " + std::to_string(maximum) + " bytes of plain text");
  return text;
}

}  // namespace

Brand parse_brand_fields(const Json& value) {
  require(value.is_object() && value.size() == 4 && value.contains("icon") && value["icon"].is_boolean(),
          "invalid_native_package", "Brand has unknown or missing fields");
  Brand brand;
  brand.name = brand_text(value, "name", 64);
  brand.id = brand_text(value, "id", 80);
  brand.publisher = brand_text(value, "publisher", 128);
  brand.icon = value["icon"].get<bool>();
  check_brand_name(brand.name);
  check_identifier(brand.id);
  return brand;
}

BrandRead read_brand(const Json& descriptor) {
  BrandRead result;
  if (!descriptor.contains("brand")) return result;
  Json copy = descriptor["brand"];
  require(copy.is_object() && copy.contains("icon"), "invalid_native_package", "Brand has unknown or missing fields");
  const Json icon = copy["icon"];

  if (copy.contains("theme")) {
    const Json theme = copy["theme"];
    copy.erase("theme");
    require_exact_members(theme, {"definition", "files"});
    const Json& files = theme["files"];
    require(files.is_object(), "invalid_native_package", "Brand theme files must be an object");
    ThemeSources sources;
    sources.definition = read_package_resource(theme["definition"], theme_definition_limit);
    require(sources.definition.path == "theme.json", "invalid_native_package",
            "Brand theme definition must be theme.json");
    for (const auto& [name, value] : files.items()) {
      PackageResource resource = read_package_resource(value, theme_file_limit);
      require(resource.path == "theme-" + name, "invalid_native_package", "Brand theme files are stored as theme-NAME");
      sources.files.emplace(name, std::move(resource));
    }
    result.theme = std::move(sources);
  }

  copy["icon"] = !icon.is_null();
  result.brand = parse_brand_fields(copy);
  if (!icon.is_null()) result.icon = read_package_resource(icon, icon_limit);
  return result;
}

std::filesystem::path brand_icon_path(const std::filesystem::path& data_root) {
  return data_root / "native" / "brand.ico";
}

Json brand_to_json(const Brand& brand) {
  return Json{{"icon", brand.icon}, {"id", brand.id}, {"name", brand.name}, {"publisher", brand.publisher}};
}

}  // namespace tovra
