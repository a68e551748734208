#pragma once
// Identifiers and portable paths: the rules every name from a package, manifest or record passes.

#include <filesystem>
#include <string_view>

namespace tovra {

void check_identifier(std::string_view text);
void check_relative_path(std::string_view text, bool portable);
void check_brand_name(std::string_view text);
std::filesystem::path native_path(std::string_view text);
std::filesystem::path managed_path(const std::filesystem::path& root, std::string_view text, bool portable);

}  // namespace tovra
