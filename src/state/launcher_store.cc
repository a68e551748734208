#include "state/launcher_store.h"

#include <array>
#include <chrono>
#include <thread>

#include "core/error.h"
#include "core/paths.h"
#include "platform/directory_listing.h"
#include "platform/durable.h"
#include "platform/file_lock.h"
#include "platform/prepared_file.h"
#include "platform/read_file.h"
#include "platform/storage.h"
#include "snapshot/extract.h"
#include "snapshot/storage_plan.h"
#include "snapshot/tree.h"
#include "state/data_root.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kStateFile = "installation.json";
constexpr std::string_view kNativePlatform = "windows-x86_64";
constexpr const char* kMalformed = "Launcher installation record is malformed; it was preserved";
constexpr std::array<std::string_view, 9> kStoreFolders = {
    "versions", "manifests", "downloads", "download-intents", "staging", "intents", "health", "leases/versions",
    "leases/attempts"};

bool is_lower_hex(std::string_view text, std::size_t length) {
  if (text.size() != length) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// The root is resolved once and then rebuilt component by component, so no part of it is a link.
fs::path resolve_root(const fs::path& launcher_root) {
  fs::path absolute = fs::weakly_canonical(fs::absolute(launcher_root)).lexically_normal();
  if (!absolute.has_filename() && absolute.has_relative_path()) absolute = absolute.parent_path();
  const fs::path relative = absolute.relative_path();
  if (relative.empty()) return absolute.root_path();
  return managed_path(absolute.root_path(), utf8_generic_path(relative), false);
}

Json implicit_state() {
  return Json{{"schema_version", 1}, {"format", kLauncherStoreFormat}, {"generation", 0},
              {"active", nullptr},   {"rollback", nullptr},          {"candidate", nullptr},
              {"attempt", nullptr},  {"failed_candidate", nullptr}};
}

void validate_state(const Json& state) {
  require(state.at("schema_version") == 1 && state.at("format") == kLauncherStoreFormat, "unsupported_schema",
          "Unknown launcher state was preserved");
  metadata_version(state.at("generation"));
  for (const char* slot : {"active", "rollback", "candidate"}) check_launcher_reference(state.at(slot));
  const Json& attempt = state.at("attempt");
  if (!attempt.is_null()) {
    require(is_lower_hex(attempt.at("nonce").get<std::string>(), 32), "launcher_state",
            "Launcher startup identity is invalid");
    const Json& reference = attempt.at("reference");
    check_launcher_reference(reference);
    require(!reference.is_null() && state.at("candidate").is_null(), "launcher_state",
            "Launcher candidate/startup state is contradictory");
  }
  const Json& failed = state.at("failed_candidate");
  if (!failed.is_null()) check_launcher_reference(failed.at("reference"));
}

bool directory_is_empty(const fs::path& directory) {
  bool empty = true;
  list_directory(directory, [&](const DirectoryEntry&) {
    empty = false;
    return false;
  });
  return empty;
}

// The store lock is retried briefly because a starting launcher holds it only for a moment.
OperationLock acquire_store_lock(const fs::path& lock_file) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point first = Clock::now();
  for (;;) {
    try {
      return operation_lock(lock_file, false, false);
    } catch (const Error& error) {
      if (error.code() != "busy" || Clock::now() - first >= std::chrono::seconds(2)) throw;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

void check_launcher_reference(const Json& reference) {
  if (reference.is_null()) return;
  require(is_lower_hex(reference.at("manifest_sha256").get<std::string>(), 64), "launcher_state",
          "Launcher manifest identity is invalid");
  check_identifier(reference.at("build_id").get<std::string>());
}

LauncherStore LauncherStore::create(const fs::path& launcher_root, bool seeding) {
  const fs::path root = resolve_root(launcher_root);
  LauncherStore store(root, managed_path(root, "launcher", true));
  if (!seeding) require_setup_finished(root);
  windows_security::ensure_private_directory(store.launcher_directory_);
  for (std::string_view folder : kStoreFolders)
    windows_security::ensure_private_directory(managed_path(store.launcher_directory_, folder, true));
  store.read_state();
  return store;
}

LauncherStore LauncherStore::open(const fs::path& launcher_root) {
  const fs::path root = resolve_root(launcher_root);
  LauncherStore store(root, managed_path(root, "launcher", true));
  require_setup_finished(root);
  prepared_directory_identity(store.launcher_directory_);
  for (std::string_view folder : {"manifests", "downloads", "download-intents", "intents"})
    prepared_directory_identity(managed_path(store.launcher_directory_, folder, true));
  store.read_state();
  return store;
}

Json LauncherStore::read_state() const {
  const fs::path file = managed_path(launcher_directory_, kStateFile, true);
  if (path_kind(file) == PathKind::missing) return implicit_state();
  Json state = parse_json(read_bounded_file(file, kLauncherStateLimit), kLauncherStateLimit);
  try {
    validate_state(state);
  } catch (const Json::exception&) {
    throw Error("launcher_state", kMalformed);
  }
  return state;
}

Json LauncherStore::read_state_with_installed() const {
  Json state = read_state();
  const bool installed = !state.at("active").is_null();
  state["installed"] = installed;
  return state;
}

void LauncherStore::write_state(Json state) const {
  std::uint64_t generation = 0;
  try {
    generation = state.at("generation").get<std::uint64_t>();
  } catch (const Json::exception&) {
    throw Error("launcher_state", kMalformed);
  }
  require(generation != UINT64_MAX, "launcher_state", "Launcher state generation is exhausted");
  state["generation"] = generation + 1;
  const std::string text = state.dump();
  require(text.size() <= kLauncherStateLimit, "size_limit", "Launcher state exceeds its durable bound");
  write_private_file(managed_path(launcher_directory_, kStateFile, true), text);
}

fs::path LauncherStore::version_directory(const Json& reference) const {
  try {
    check_launcher_reference(reference);
    require(!reference.is_null(), "launcher_missing", "No working launcher is installed");
    return managed_path(launcher_directory_, "versions/" + reference.at("manifest_sha256").get<std::string>(), true);
  } catch (const Json::exception&) {
    throw Error("launcher_state", kMalformed);
  }
}

LauncherManifest LauncherStore::load_stored_manifest(const Json& reference) const {
  std::string sha256;
  std::string build_id;
  try {
    check_launcher_reference(reference);
    require(!reference.is_null(), "launcher_missing", "Install a verified launcher first");
    sha256 = reference.at("manifest_sha256").get<std::string>();
    build_id = reference.at("build_id").get<std::string>();
  } catch (const Json::exception&) {
    throw Error("launcher_state", kMalformed);
  }
  const std::string bytes =
      read_bounded_file(managed_path(launcher_directory_, "manifests/" + sha256 + ".json", true), manifest_read_limit);
  require(digest_hex(bytes, "sha256") == sha256, "content_mismatch", "Stored launcher manifest changed");
  LauncherManifest manifest = parse_launcher_manifest(parse_json(bytes, manifest_read_limit));
  require(manifest.build_id == build_id && manifest.platform == kNativePlatform, "launcher_state",
          "Launcher identity/platform differs from its local reference");
  return manifest;
}

LauncherReference seed_initial_launcher(const fs::path& launcher_root, std::string_view manifest_bytes,
                                        const fs::path& archive, const HashProgress& progress) {
  const LauncherStore store = LauncherStore::create(launcher_root, true);
  const fs::path& directory = store.launcher_directory();
  OperationLock lock = acquire_store_lock(managed_path(directory, "bootstrap.lock", true));

  Json state = store.read_state();
  const bool fresh = state.at("generation") == 0 && state.at("active").is_null() &&
                     state.at("candidate").is_null() && state.at("rollback").is_null() &&
                     state.at("attempt").is_null() && state.at("failed_candidate").is_null() &&
                     directory_is_empty(managed_path(directory, "manifests", true)) &&
                     directory_is_empty(managed_path(directory, "versions", true));
  require(fresh, "already_installed", "Initial launcher seeding requires a new owned profile");

  const LauncherManifest manifest = parse_launcher_manifest(parse_json(manifest_bytes, manifest_read_limit));
  require(manifest.platform == kNativePlatform, "launcher_incompatible",
          "Initial launcher targets another native platform");
  const LauncherReference reference{digest_hex(manifest_bytes, "sha256"), manifest.build_id};
  const Json reference_json{{"build_id", reference.build_id}, {"manifest_sha256", reference.manifest_sha256}};

  const fs::path version = store.version_directory(reference_json);
  require_short_paths(store.root(), version, longest_path_length(manifest));

  const Json plan = plan_storage(manifest, probe_storage_volume(directory), true, 0, false);
  require_storage(plan, "launcher");

  create_owned_file(managed_path(directory, "manifests/" + reference.manifest_sha256 + ".json", true),
                    manifest_bytes);
  extract_snapshot(manifest, archive, version, progress);
  verify_snapshot_tree(manifest, version, progress);

  state["candidate"] = reference_json;
  store.write_state(std::move(state));
  return reference;
}

bool launcher_intact(const fs::path& launcher_root) {
  try {
    const LauncherStore store = LauncherStore::open(launcher_root);
    const Json state = store.read_state_with_installed();
    const Json& reference = state.at("active").is_null() ? state.at("candidate") : state.at("active");
    if (reference.is_null()) return false;
    const fs::path version = store.version_directory(reference);
    const LauncherManifest manifest = store.load_stored_manifest(reference);
    verify_snapshot_tree(manifest, version);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace tovra
