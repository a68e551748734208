#pragma once
// The trust anchor an installation starts from: the repository's root metadata in the trust
// folder, written once, and the repository configuration beside it in the data root.

#include <filesystem>
#include <string_view>

namespace tovra {

// File names inside a trust folder.
inline constexpr std::string_view trusted_root_file = "root.json";
inline constexpr std::string_view trust_lock_file = ".lock";

// Under the folder's operation lock (taken without waiting; the folder is created privately when
// missing): refuses a folder that already has "root.json", checks the metadata and its root
// signatures, then writes the bytes unchanged. Expiry is the package load's concern.
void initialize_trusted_root(const std::filesystem::path& trust_folder, std::string_view root_bytes);

// The checks initialize_trusted_root makes before it writes: protocol JSON, the metadata rules
// for a root, and its own root role's signatures.
void check_trusted_root_metadata(std::string_view root_bytes);

// Writes the CA bundle to `ca_file` when there is one, then `config_file` ("repository.json"):
// {"ca_bundle": absolute CA path or "", "origin": origin, "schema_version": 1}.
// Without a bundle, an earlier `ca_file` is removed after the configuration is written. The callers
// pass the data root layout's members, so this layer does not depend on the layout or package types.
void write_repository_config(const std::filesystem::path& config_file, const std::filesystem::path& ca_file,
                             std::string_view origin, std::string_view ca_bundle);

}  // namespace tovra
