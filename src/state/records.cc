#include "state/records.h"

#include <chrono>
#include <cstdio>

#include "core/error.h"
#include "core/paths.h"
#include "core/text.h"
#include "package/initial_package.h"
#include "package/json_rules.h"
#include "platform/durable.h"
#include "platform/read_file.h"

namespace tovra {
namespace {

bool has_schema(const Json& record, std::string_view kind) {
  // at() throws on a missing member or a non-object, which callers turn into "malformed".
  const Json& found = record.at("kind");
  return package_detail::integer_equals(record.at("schema_version"), 1) && found.is_string() &&
         found.get_ref<const std::string&>() == kind;
}

std::string serialize(const Json& record) { return record.dump(); }

}  // namespace

std::string utc_timestamp() {
  using namespace std::chrono;
  const auto now = floor<seconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss<seconds> time{now - day};
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return buffer;
}

Json installation_record_json(std::string_view descriptor_sha256, std::string_view origin,
                              const std::optional<Brand>& brand, std::string_view installed_at) {
  Json record = Json::object();
  if (brand) record["brand"] = brand_to_json(*brand);
  record["descriptor_sha256"] = std::string(descriptor_sha256);
  record["installed_at"] = std::string(installed_at);
  record["kind"] = "tovra-installation";
  record["origin"] = std::string(origin);
  record["schema_version"] = 1;
  return record;
}

void write_installation_record(const DataRootLayout& layout, const InitialPackage& package) {
  const Json record =
      installation_record_json(package.descriptor_sha256, package.origin, package.brand, utc_timestamp());
  write_private_file(layout.installation_record, serialize(record));
}

void read_installation_record(const DataRootLayout& layout) {
  const std::string path = utf8_path(layout.installation_record);
  const Json record = parse_json(read_bounded_file(layout.installation_record, kRecordReadLimit), kRecordReadLimit);
  bool supported = false;
  try {
    supported = has_schema(record, "tovra-installation");
  } catch (const Json::exception&) {
    throw Error("unsupported_schema", "Installation record is malformed: " + path);
  }
  require(supported, "unsupported_schema", "Unsupported installation record " + path);
}

std::optional<Brand> read_installed_brand(const std::filesystem::path& data_root) {
  try {
    const DataRootLayout layout = data_root_layout(data_root);
    const Json record =
        parse_json(read_bounded_file(layout.installation_record, kRecordReadLimit), kRecordReadLimit);
    if (!record.is_object() || !record.contains("brand")) return std::nullopt;
    return parse_brand_fields(record.at("brand"));
  } catch (...) {
    // A broken record only means the default product name is used.
    return std::nullopt;
  }
}

Json setup_status_json(std::string_view action, std::string_view outcome, std::string_view message,
                       std::string_view finished_at) {
  Json record = Json::object();
  record["action"] = std::string(action);
  record["finished_at"] = std::string(finished_at);
  record["kind"] = "tovra-setup-status";
  record["message"] = std::string(utf8_prefix(message, kSetupStatusMessageLimit));
  record["outcome"] = std::string(outcome);
  record["schema_version"] = 1;
  return record;
}

void write_setup_status(const DataRootLayout& layout, std::string_view action, std::string_view outcome,
                        std::string_view message) noexcept {
  try {
    if (path_kind(layout.native) != PathKind::directory) return;
    write_private_file(layout.setup_status_record,
                       serialize(setup_status_json(action, outcome, message, utc_timestamp())));
  } catch (...) {
    // The outcome record is advisory; its failure must not change the command's result.
  }
}

std::optional<SetupStatus> read_setup_status(const DataRootLayout& layout) {
  if (path_kind(layout.setup_status_record) == PathKind::missing) return std::nullopt;
  const Json record = parse_json(read_bounded_file(layout.setup_status_record, kRecordReadLimit), kRecordReadLimit);
  try {
    require(has_schema(record, "tovra-setup-status"), "unsupported_schema", "Unsupported setup status record");
    SetupStatus status;
    status.action = record.at("action").get<std::string>();
    status.outcome = record.at("outcome").get<std::string>();
    status.message = record.at("message").get<std::string>();
    status.finished_at = record.at("finished_at").get<std::string>();
    return status;
  } catch (const Json::exception&) {
    throw Error("unsupported_schema", "Setup status record is malformed: " + utf8_path(layout.setup_status_record));
  }
}

void write_incomplete_marker(const DataRootLayout& layout) {
  const Json marker = {{"kind", "tovra-setup-incomplete"}, {"schema_version", 1}};
  write_private_file(layout.setup_incomplete_marker, serialize(marker));
}

}  // namespace tovra
