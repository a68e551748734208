// Naming and the command line of the uninstall entry, the same on every system.
#include "platform/uninstall_entry.h"

#include "core/paths.h"

namespace tovra {
namespace {

constexpr std::string_view kBareName = "Tovra";
constexpr std::string_view kBrandPrefix = "Tovra.";

}  // namespace

std::string uninstall_entry_name(const std::optional<std::string>& brand_id) {
  if (!brand_id) return std::string(kBareName);
  return std::string(kBrandPrefix) + *brand_id;
}

void check_uninstall_entry_name(std::string_view name) {
  if (name == kBareName) {
    check_identifier("tovra");
  } else if (name.substr(0, kBrandPrefix.size()) == kBrandPrefix) {
    check_identifier(name.substr(kBrandPrefix.size()));
  } else {
    check_identifier(name);  // not a name this installer forms: the identifier rule refuses it
  }
}

std::string quote_native_path(const std::filesystem::path& path) {
  return "\"" + utf8_path(path) + "\"";
}

std::string uninstall_command(const UninstallEntry& entry) {
  return quote_native_path(entry.executable) + " --data-dir " + quote_native_path(entry.install_location) +
         " --gui -- --uninstall";
}

}  // namespace tovra
