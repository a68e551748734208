#pragma once
// Brand: the name, identifier and publisher under which the platform presents itself, with an
// optional icon and theme carried by the package.

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "core/json.h"
#include "package/resource.h"

namespace tovra {

struct Brand {
  std::string name;
  std::string id;
  std::string publisher;
  bool icon = false;
};

// The theme files a brand names: the definition and NAME -> resource (stored as "theme-" NAME).
struct ThemeSources {
  PackageResource definition;
  std::map<std::string, PackageResource> files;
};

struct BrandRead {
  std::optional<Brand> brand;
  std::optional<PackageResource> icon;
  std::optional<ThemeSources> theme;
};

inline constexpr std::uint64_t theme_definition_limit = 65536;
inline constexpr std::uint64_t theme_file_limit = 4194304;

// Reads the descriptor's `brand` member with the icon and theme resources it names.
BrandRead read_brand(const Json& descriptor);

// The stored form {name, id, publisher, icon}, also applied inside read_brand.
Brand parse_brand_fields(const Json& value);

// Where an installation keeps its brand's icon.
std::filesystem::path brand_icon_path(const std::filesystem::path& data_root);

Json brand_to_json(const Brand& brand);

}  // namespace tovra
