#include "snapshot/storage_plan.h"

#include <algorithm>
#include <limits>
#include <set>
#include <string>

#include "core/error.h"
#include "core/paths.h"

namespace tovra {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr const char* kOverflow = "Peak storage calculation overflowed";

std::uint64_t add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r = 0;
  require(!__builtin_add_overflow(a, b, &r), "size_limit", kOverflow);
  return r;
}

std::uint64_t multiply(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r = 0;
  require(!__builtin_mul_overflow(a, b, &r), "size_limit", kOverflow);
  return r;
}

std::uint64_t positive_difference(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; }

// Distinct directories the inventory implies: every prefix that ends before a "/".
std::uint64_t implied_directories(const SnapshotManifest& manifest) {
  std::set<std::string_view> directories;
  for (const auto& entry : manifest.files) {
    const std::string_view path = entry.first;
    for (std::size_t slash = path.find('/'); slash != std::string_view::npos; slash = path.find('/', slash + 1))
      directories.insert(path.substr(0, slash));
  }
  return directories.size();
}

}  // namespace

std::uint64_t round_up_to_unit(std::uint64_t bytes, std::uint64_t unit) {
  require(unit != 0, "volume_query", "Storage capacity or allocation geometry is unavailable");
  const std::uint64_t rest = bytes % unit;
  return rest == 0 ? bytes : add(bytes, unit - rest);
}

void validate_storage_volume(const StorageVolume& volume) {
  const bool geometry = volume.path.is_absolute() && !volume.identity.empty() && volume.allocation_unit != 0 &&
                        volume.capacity_bytes != kMax && volume.capacity_bytes >= volume.available_bytes;
  require(geometry, "volume_query", "Storage capacity or allocation geometry is unavailable");
  require(volume.inode_capacity.has_value() == volume.available_inodes.has_value(), "volume_query",
          "Storage file-entry counters are incomplete");
  if (volume.inode_capacity) {
    const bool valid = *volume.inode_capacity != 0 && *volume.inode_capacity != kMax &&
                       *volume.inode_capacity >= *volume.available_inodes;
    require(valid, "volume_query", "Storage file-entry counters are invalid");
  }
}

StorageVolume probe_storage_volume(const std::filesystem::path& directory) {
  StorageVolume volume = query_storage_volume(directory);
  for (char& c : volume.identity)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  validate_storage_volume(volume);
  return volume;
}

Json plan_storage(const SnapshotManifest& manifest, const StorageVolume& volume, bool verified_archive_cached,
                  std::uint64_t existing_archive_allocation_bytes, bool existing_partial) {
  require(existing_partial || existing_archive_allocation_bytes == 0, "volume_query",
          "Existing allocation needs an owned partial file");
  validate_storage_volume(volume);
  const std::uint64_t unit = volume.allocation_unit;

  std::uint64_t download_bytes = 0;
  std::uint64_t download_entries = 0;
  if (!verified_archive_cached) {
    const std::uint64_t archive = round_up_to_unit(manifest.length, unit);
    download_entries = existing_partial ? 0 : 1;
    download_bytes = archive - std::min(existing_archive_allocation_bytes, archive);
    if (!existing_partial) download_bytes = add(download_bytes, unit);
  }

  const std::uint64_t staging_entries = add(add(manifest.files.size(), implied_directories(manifest)), 1);
  std::uint64_t staging_bytes = multiply(staging_entries, unit);
  for (const auto& entry : manifest.files) staging_bytes = add(staging_bytes, round_up_to_unit(entry.second.length, unit));

  const std::uint64_t additional_bytes = add(add(download_bytes, staging_bytes), storage_control_margin_bytes);
  const std::uint64_t existing_bytes = volume.capacity_bytes - volume.available_bytes;
  const std::uint64_t additional_entries =
      add(add(download_entries, staging_entries), storage_control_margin_file_entries);

  Json record = Json::object();
  record["path"] = utf8_generic_path(volume.path);
  record["allocation_unit"] = unit;
  record["capacity_bytes"] = volume.capacity_bytes;
  record["available_bytes"] = volume.available_bytes;
  record["download_bytes"] = download_bytes;
  record["staging_bytes"] = staging_bytes;
  record["control_margin_bytes"] = storage_control_margin_bytes;
  record["download_file_entries"] = download_entries;
  record["staging_file_entries"] = staging_entries;
  record["control_margin_file_entries"] = storage_control_margin_file_entries;
  record["additional_bytes"] = additional_bytes;
  record["existing_or_unavailable_bytes"] = existing_bytes;
  record["peak_capacity_bytes"] = add(existing_bytes, additional_bytes);
  record["shortfall_bytes"] = positive_difference(additional_bytes, volume.available_bytes);
  record["additional_file_entries"] = additional_entries;
  if (volume.available_inodes) {
    const std::uint64_t existing_inodes = *volume.inode_capacity - *volume.available_inodes;
    record["inode_capacity"] = *volume.inode_capacity;
    record["available_inodes"] = *volume.available_inodes;
    record["existing_or_unavailable_inodes"] = existing_inodes;
    record["peak_inodes"] = add(existing_inodes, additional_entries);
    record["shortfall_file_entries"] = positive_difference(additional_entries, *volume.available_inodes);
  } else {
    for (const char* key : {"inode_capacity", "available_inodes", "existing_or_unavailable_inodes", "peak_inodes",
                            "shortfall_file_entries"})
      record[key] = nullptr;
  }

  Json plan = Json::object();
  plan["schema_version"] = 1;
  plan["reserved"] = false;
  plan["verified_archive_cached"] = verified_archive_cached;
  plan["existing_partial"] = existing_partial;
  plan["existing_archive_allocation_bytes"] = existing_archive_allocation_bytes;
  plan["volume"] = std::move(record);
  return plan;
}

void require_storage(const Json& plan, std::string_view /*label*/) {
  const Json& record = plan.at("volume");
  const std::uint64_t bytes = record.at("shortfall_bytes").get<std::uint64_t>();
  const Json& entries_value = record.value("shortfall_file_entries", Json());
  const std::uint64_t entries = entries_value.is_null() ? 0 : entries_value.get<std::uint64_t>();
  if (bytes == 0 && entries == 0) return;
  const bool in_bytes = bytes != 0;
  const std::uint64_t amount = in_bytes ? bytes : entries;
  const char* unit = in_bytes ? (amount == 1 ? " more byte" : " more bytes")
                              : (amount == 1 ? " more file entry" : " more file entries");
  throw Error("insufficient_space", "Storage at " + record.at("path").get<std::string>() + " needs " +
                                        std::to_string(amount) + unit + " before installation; free space first");
}

}  // namespace tovra
