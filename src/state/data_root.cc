#include "state/data_root.h"

#include <limits>
#include <string>

#include "core/error.h"
#include "core/paths.h"
#include "core/text.h"
#include "platform/read_file.h"

namespace tovra {
namespace {

constexpr std::size_t kMaxDataRootBytes = 4096;
constexpr std::uint64_t kWindowsPathLimit = 259;
// Room for the drive prefix and terminator that Windows counts beyond the relative parts.
constexpr std::uint64_t kPathAllowance = 9;
constexpr int kMaxImageFolders = 256;

bool holds_entry(const std::filesystem::path& folder, std::string_view name) {
  const PathKind kind = path_kind(folder / native_path(name));
  return kind != PathKind::missing && kind != PathKind::unknown;
}

}  // namespace

std::filesystem::path normalize_data_root(const std::filesystem::path& path) {
  const std::string text = utf8_path(path);
  require(!text.empty() && text.size() <= kMaxDataRootBytes && text.find('\0') == std::string::npos &&
              is_valid_utf8(text),
          "unsafe_path", "Choose a data folder");

  const std::filesystem::path normal = std::filesystem::absolute(path).lexically_normal();
  require(normal != normal.root_path() && !normal.filename().empty(), "unsafe_path",
          "The data folder cannot be a filesystem root");
  require(path_kind(normal) != PathKind::link, "unsafe_path", "The data folder cannot be a symbolic link");
  return normal;
}

DataRootLayout data_root_layout(const std::filesystem::path& root) {
  DataRootLayout layout;
  layout.root = root;
  layout.native = root / "native";
  layout.setup_incomplete_marker = root / kSetupIncompleteMarkerName;
  layout.setup_lock = root / ".tovra-setup.lock";
  layout.bootstrap_lock = root / ".native-bootstrap.lock";
  layout.installation_record = layout.native / "installation.json";
  layout.setup_status_record = layout.native / "setup-status.json";
  layout.bootstrap_dir = layout.native / "bootstrap";
  layout.bootstrap_manifest = layout.native / "bootstrap.json";
  layout.staging = layout.native / "staging";
  layout.launcher = root / "launcher";
  layout.trust = root / "trust";
  layout.repository_config = root / "repository.json";
  layout.repository_ca = root / "repository-ca.pem";
  return layout;
}

void require_short_paths(const std::filesystem::path& folder, const std::filesystem::path& base,
                         std::uint64_t longest_relative_path) {
  const std::uint64_t base_units =
      utf16_length(utf8_path(std::filesystem::absolute(base).lexically_normal()));
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  // A sum that would overflow is over the limit anyway.
  const bool overflow = longest_relative_path > max - kPathAllowance - base_units;
  const std::uint64_t total = overflow ? max : base_units + longest_relative_path + kPathAllowance;
  if (!overflow && total <= kWindowsPathLimit) return;
  throw Error("path_too_long", "The folder " + utf8_path(std::filesystem::absolute(folder).lexically_normal()) +
                                   " is too deep for Windows: files below it would need paths of up to " +
                                   std::to_string(total) + " characters, and Windows allows " +
                                   std::to_string(kWindowsPathLimit) +
                                   ". Choose a folder with a shorter path, such as C:\\Games.");
}

void require_setup_finished(const std::filesystem::path& folder) {
  require(!holds_entry(folder, kSetupIncompleteMarkerName), "native_install_incomplete",
          "Tovra setup did not finish in " + utf8_path(folder) + ". Run the Tovra installer again to repair it.");
}

void require_finished_image(const std::filesystem::path& executable) {
  std::filesystem::path folder = executable.parent_path();
  int counted = 0;
  while (!folder.empty() && folder != folder.parent_path()) {
    require(++counted <= kMaxImageFolders, "unsafe_path", "Native image path is too deep");
    require_setup_finished(folder);
    for (std::string_view marker : kUnfinishedPackageMarkerNames) {
      require(!holds_entry(folder, marker), "native_install_incomplete",
              "This image belongs to an unfinished package; it cannot start");
    }
    folder = folder.parent_path();
  }
}

}  // namespace tovra
