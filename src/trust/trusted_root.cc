#include "trust/trusted_root.h"

#include <string>

#include "core/error.h"
#include "core/json.h"
#include "core/paths.h"
#include "platform/durable.h"
#include "platform/entries.h"
#include "platform/file_lock.h"
#include "platform/read_file.h"
#include "trust/tuf.h"

namespace tovra {

void check_trusted_root_metadata(std::string_view root_bytes) {
  const Json document = parse_json(root_bytes, root_metadata_limit);
  validate_metadata(document, "root");
  try {
    const Json& signed_part = document.at("signed");
    verify_signatures(document, signed_part.at("keys"), signed_part.at("roles").at("root"));
  } catch (const Json::exception&) {
    throw Error("invalid_metadata", "Metadata is missing a required field or has an invalid field type");
  }
}

void initialize_trusted_root(const std::filesystem::path& trust_folder, std::string_view root_bytes) {
  const OperationLock lock = operation_lock(trust_folder / trust_lock_file, false, false);

  // Any entry counts, a link included: its kind is read without following it.
  const std::filesystem::path root_file = trust_folder / trusted_root_file;
  const PathKind existing = path_kind(root_file);
  require(existing == PathKind::missing, "already_initialized", "Trusted root is already initialized");

  check_trusted_root_metadata(root_bytes);
  write_private_file(root_file, root_bytes);
}

void write_repository_config(const std::filesystem::path& config_file, const std::filesystem::path& ca_file,
                             std::string_view origin, std::string_view ca_bundle) {
  std::string ca_path;
  if (!ca_bundle.empty()) {
    write_private_file(ca_file, ca_bundle);
    ca_path = utf8_path(std::filesystem::absolute(ca_file).lexically_normal());
  }
  Json config = Json::object();
  config["ca_bundle"] = ca_path;
  config["origin"] = std::string(origin);
  config["schema_version"] = 1;
  write_private_file(config_file, config.dump());
  // An earlier package's bundle must not outlive the configuration that named it.
  if (ca_bundle.empty() && path_kind(ca_file) != PathKind::missing) {
    require(remove_entry(ca_file), "file_remove", "Cannot remove " + utf8_path(ca_file));
    sync_directory(ca_file.parent_path());
  }
}

}  // namespace tovra
