#pragma once
// The three records of a data folder: the installation record (a finished installation is
// present), the setup-status record (outcome of the last install or repair) and the incomplete
// marker (a commit or uninstall is under way). All are written whole with write_private_file.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/json.h"
#include "package/brand.h"
#include "state/data_root.h"

namespace tovra {

struct InitialPackage;

inline constexpr std::uint64_t kRecordReadLimit = 65536;
inline constexpr std::size_t kSetupStatusMessageLimit = 2048;

struct SetupStatus {
  std::string action;       // "install" or "repair"
  std::string outcome;      // "succeeded" or "failed"
  std::string message;
  std::string finished_at;  // "%Y-%m-%dT%H:%M:%SZ"
};

// The current UTC time as "%Y-%m-%dT%H:%M:%SZ".
std::string utc_timestamp();

// The installation record's document; `brand` only when the package has one.
Json installation_record_json(std::string_view descriptor_sha256, std::string_view origin,
                              const std::optional<Brand>& brand, std::string_view installed_at);
void write_installation_record(const DataRootLayout& layout, const InitialPackage& package);

// Validates schema and kind only; unsupported_schema on a record of another kind or shape.
void read_installation_record(const DataRootLayout& layout);

// The brand kept in the installation record, or none on any failure.
std::optional<Brand> read_installed_brand(const std::filesystem::path& data_root);

// The setup-status document; `message` is cut to 2048 bytes without splitting a character.
Json setup_status_json(std::string_view action, std::string_view outcome, std::string_view message,
                       std::string_view finished_at);
// Best effort: nothing is written when "native" is not a directory, and failures are swallowed.
void write_setup_status(const DataRootLayout& layout, std::string_view action, std::string_view outcome,
                        std::string_view message) noexcept;
// None when the record does not exist.
std::optional<SetupStatus> read_setup_status(const DataRootLayout& layout);

void write_incomplete_marker(const DataRootLayout& layout);

}  // namespace tovra
