#pragma once
// Themes: a palette held to minimum contrast ratios, corner and bevel style, an optional frame,
// text sizes, fonts, images and notices. The same validation runs on a sealed package's theme
// and on an installed one; only the resolver that turns a file NAME into a path differs.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/json.h"
#include "package/brand.h"

namespace tovra {

struct Colour {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  friend bool operator==(const Colour&, const Colour&) = default;
};

struct Palette {
  Colour background, panel, raised, well, border, text, muted, accent, accent_hover, accent_text, danger, danger_hover,
      danger_text, warning, success, focus, disabled, disabled_text, paper, ink, ink_muted;
  Colour hover;
  std::optional<Colour> button;
};

struct ThemeFrame {
  Colour outline, trim, gap, rivet;
};

struct ThemeTextSizes {
  std::uint32_t title = 28;
  std::uint32_t heading = 20;
  std::uint32_t body = 16;
  std::uint32_t small = 14;
};

struct ThemeFonts {
  std::filesystem::path regular, bold, title;  // empty when not given
};

struct ThemeImage {
  std::filesystem::path path;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool pixel_art = false;
};

struct Theme {
  Palette palette;
  bool square_corners = false;
  bool bevel = false;
  std::optional<ThemeFrame> frame;
  ThemeTextSizes text_sizes;
  ThemeFonts fonts;
  std::optional<ThemeImage> icon;
  std::optional<ThemeImage> banner;
};

// A theme as carried and installed: the definition bytes and NAME -> file bytes.
struct ThemeResources {
  std::string definition;
  std::map<std::string, std::string> files;
  bool empty() const { return definition.empty(); }
};

using ThemeResolver = std::function<std::filesystem::path(const std::string& name)>;

inline constexpr std::uint64_t theme_files_total_limit = 16777216;
inline constexpr std::uint64_t theme_notice_limit = 262144;

// The theme in force when none is installed.
Theme builtin_theme();

// WCAG-style contrast ratio of two colours, at least 1.
double contrast_ratio(const Colour& first, const Colour& second);

// Every file NAME the definition refers to: fonts, images, then notices.
std::vector<std::string> theme_file_names(const Json& definition);

Theme validate_theme(const Json& definition, const ThemeResolver& resolver);
// The same rules over bytes already in memory (NAME -> bytes); `resolver` only names the paths.
Theme validate_theme(const Json& definition, const std::map<std::string, std::string>& files,
                     const ThemeResolver& resolver);

// Reads and validates a packaged theme; files sit in the package as "theme-" NAME.
ThemeResources read_sealed_theme(const std::filesystem::path& package_root, const ThemeSources& sources);

// An installed theme in `directory` (files under their NAME), or none on any failure.
std::optional<Theme> load_theme(const std::filesystem::path& directory);

}  // namespace tovra
