#include "package/resource.h"

#include "core/digest.h"
#include "core/error.h"
#include "core/paths.h"
#include "package/json_rules.h"

namespace tovra {

void require_exact_members(const Json& value, std::initializer_list<const char*> names) {
  require(value.is_object() && value.size() == names.size(), "invalid_native_package",
          "Initial package record has unknown or missing fields");
  for (const char* name : names) {
    require(value.contains(name), "invalid_native_package", "Initial package record is missing a field");
  }
}

PackageResource read_package_resource(const Json& value, std::uint64_t limit) {
  require_exact_members(value, {"path", "length", "sha256"});
  PackageResource resource;
  resource.path = value["path"].get<std::string>();
  const Json& length = value["length"];
  require(length.is_number_unsigned(), "invalid_native_package", "Resource length must be an unsigned integer");
  require(package_detail::is_lower_sha256(value["sha256"]), "invalid_native_package",
          "Resource hash must be a lowercase SHA-256 digest");
  resource.length = length.get<std::uint64_t>();
  resource.sha256 = value["sha256"].get<std::string>();
  require(resource.length >= 1 && resource.length <= limit, "size_limit",
          "Initial package resource exceeds its size limit");
  return resource;
}

void check_resource_name(std::string_view path) {
  const auto refuse = [] {
    throw Error("invalid_native_package", "Initial package resources need distinct flat names");
  };
  try {
    check_relative_path(path, true);
  } catch (const Error&) {
    refuse();
  }
  if (path.find('/') != std::string_view::npos || path.front() == '.' || path == package_descriptor_name) refuse();
}

std::string load_package_resource(const std::filesystem::path& root, const PackageResource& resource,
                                  std::uint64_t limit) {
  std::string bytes = read_bounded_file(root / native_path(resource.path), limit);
  require(bytes.size() == resource.length && digest_hex(bytes, "sha256") == resource.sha256, "content_mismatch",
          "Initial package resource changed: " + resource.path);
  return bytes;
}

}  // namespace tovra
