#include "package/root.h"

#include <cstdio>

#include "core/digest.h"
#include "core/error.h"

namespace tovra::builder {

namespace {

Json role_json(const RootRole& role, Json& keys) {
  Json ids = Json::array();
  for (const Json& record : role.keys) {
    const std::string id = digest_hex(canonical_json(record), "sha256");
    keys[id] = record;
    ids.push_back(id);
  }
  return Json{{"keyids", ids}, {"threshold", role.threshold}};
}

}  // namespace

RootOptions root_with_keys(const std::vector<const SigningKey*>& keys) {
  RootRole role;
  for (const SigningKey* key : keys) role.keys.push_back(key->record());
  RootOptions options;
  options.root = options.timestamp = options.snapshot = options.targets = role;
  return options;
}

std::string format_expiry(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const auto seconds = floor<std::chrono::seconds>(when);
  const auto day = floor<days>(seconds);
  const year_month_day date(day);
  const hh_mm_ss time(seconds - day);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

Json root_content(const RootOptions& options) {
  Json keys = Json::object();
  Json roles = Json::object();
  roles["root"] = role_json(options.root, keys);
  roles["timestamp"] = role_json(options.timestamp, keys);
  roles["snapshot"] = role_json(options.snapshot, keys);
  roles["targets"] = role_json(options.targets, keys);
  if (options.mirrors) roles["mirrors"] = role_json(*options.mirrors, keys);
  Json content{{"_type", "root"},
               {"spec_version", options.spec_version},
               {"version", options.version},
               {"expires", options.expires.empty()
                               ? format_expiry(std::chrono::system_clock::now() + std::chrono::days(365))
                               : options.expires},
               {"keys", keys},
               {"roles", roles}};
  if (options.consistent_snapshot) content["consistent_snapshot"] = *options.consistent_snapshot;
  return content;
}

Json sign_metadata(const Json& content, const std::vector<const SigningKey*>& signers) {
  Json signatures = Json::array();
  for (const SigningKey* key : signers) {
    signatures.push_back(Json{{"keyid", key->id()}, {"sig", key->sign_content(content)}});
  }
  return Json{{"signatures", signatures}, {"signed", content}};
}

Json sign_root(const RootOptions& options, const std::vector<const SigningKey*>& signers) {
  require(!signers.empty(), "usage", "A root needs at least one signing key");
  return sign_metadata(root_content(options), signers);
}

}  // namespace tovra::builder
