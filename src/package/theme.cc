#include "package/theme.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <exception>
#include <set>
#include <string_view>

#include "core/error.h"
#include "core/paths.h"
#include "package/json_rules.h"
#include "platform/read_file.h"

namespace tovra {
namespace {

using PaletteMember = Colour Palette::*;

struct NamedColour {
  const char* name;
  PaletteMember member;
};

constexpr NamedColour kPaletteColours[] = {
    {"background", &Palette::background},
    {"panel", &Palette::panel},
    {"raised", &Palette::raised},
    {"well", &Palette::well},
    {"border", &Palette::border},
    {"text", &Palette::text},
    {"muted", &Palette::muted},
    {"accent", &Palette::accent},
    {"accent_hover", &Palette::accent_hover},
    {"accent_text", &Palette::accent_text},
    {"danger", &Palette::danger},
    {"danger_hover", &Palette::danger_hover},
    {"danger_text", &Palette::danger_text},
    {"warning", &Palette::warning},
    {"success", &Palette::success},
    {"focus", &Palette::focus},
    {"disabled", &Palette::disabled},
    {"disabled_text", &Palette::disabled_text},
    {"paper", &Palette::paper},
    {"ink", &Palette::ink},
    {"ink_muted", &Palette::ink_muted},
};

struct ContrastPair {
  PaletteMember foreground;
  PaletteMember background;
  const char* name;
};

// Foreground on background, each needing 4.5:1, checked in this order.
constexpr ContrastPair kTextPairs[] = {
    {&Palette::text, &Palette::background, "text on background"},
    {&Palette::text, &Palette::panel, "text on panel"},
    {&Palette::text, &Palette::raised, "text on raised"},
    {&Palette::text, &Palette::hover, "text on hover"},
    {&Palette::muted, &Palette::background, "muted on background"},
    {&Palette::muted, &Palette::panel, "muted on panel"},
    {&Palette::warning, &Palette::panel, "warning on panel"},
    {&Palette::success, &Palette::background, "success on background"},
    {&Palette::accent_text, &Palette::accent, "accent_text on accent"},
    {&Palette::accent_text, &Palette::accent_hover, "accent_text on accent_hover"},
    {&Palette::danger_text, &Palette::danger, "danger_text on danger"},
    {&Palette::danger_text, &Palette::danger_hover, "danger_text on danger_hover"},
    {&Palette::ink, &Palette::paper, "ink on paper"},
    {&Palette::ink_muted, &Palette::paper, "ink_muted on paper"},
};

enum class FileRole { font, image, notice };

constexpr std::uint64_t kFontLimit = 4194304;
constexpr std::size_t kMaxThemeFiles = 12;
constexpr std::uint32_t kBmpHeader = 54;

[[noreturn]] void theme_error(const std::string& message) { throw Error("invalid_theme", message); }

const Json& require_object(const Json& value, const char* what) {
  if (!value.is_object()) theme_error(std::string("Theme ") + what + " must be an object");
  return value;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

Colour parse_colour(const Json& value) {
  const char* message = "Theme colours are written #rrggbb";
  if (!value.is_string()) theme_error(message);
  const auto& text = value.get_ref<const std::string&>();
  if (text.size() != 7 || text[0] != '#') theme_error(message);
  std::uint8_t channels[3];
  for (std::size_t i = 0; i < 3; ++i) {
    const int high = hex_digit(text[1 + 2 * i]);
    const int low = hex_digit(text[2 + 2 * i]);
    if (high < 0 || low < 0) theme_error(message);
    channels[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return Colour{channels[0], channels[1], channels[2]};
}

std::string file_name(const Json& value, FileRole role) {
  if (!value.is_string()) theme_error("Theme files are named by text");
  const std::string name = value.get<std::string>();
  bool valid = !name.empty() && name.size() <= 100 && name.front() != '.' && name != "theme.json";
  for (char c : name) {
    const bool allowed =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    valid = valid && allowed;
  }
  if (!valid) theme_error("Theme file names are 1 to 100 letters, digits, '.', '_' or '-': " + name);
  const std::string lower = package_detail::fold_ascii(name);
  const auto ends_with = [&lower](std::string_view suffix) { return lower.ends_with(suffix); };
  const bool extension_ok = role == FileRole::font    ? ends_with(".ttf") || ends_with(".otf")
                            : role == FileRole::image ? ends_with(".bmp")
                                                      : ends_with(".txt");
  if (!extension_ok) theme_error("Theme file has the wrong kind of extension: " + name);
  // Installed files keep their NAME, so a device name (con.txt) must fail here, not at the commit.
  check_relative_path(name, true);
  return name;
}

// A theme file's path and bytes, read at most once.
struct ThemeFile {
  std::filesystem::path path;
  std::string bytes;
};
using ThemeFileReader = std::function<ThemeFile(const std::string& name, std::uint64_t limit)>;

[[noreturn]] void missing_file(const std::string& name) {
  theme_error("Theme file is missing or not a plain file: " + name);
}

ThemeFileReader disk_reader(const ThemeResolver& resolver) {
  return [&resolver](const std::string& name, std::uint64_t limit) {
    ThemeFile file{resolver(name), {}};
    if (path_kind(file.path) != PathKind::file) missing_file(name);
    file.bytes = read_bounded_file(file.path, limit);
    return file;
  };
}

// The bytes held in memory are the ones judged, so they are the ones that get installed.
ThemeFileReader memory_reader(const std::map<std::string, std::string>& files, const ThemeResolver& resolver) {
  return [&files, &resolver](const std::string& name, std::uint64_t limit) {
    const auto found = files.find(name);
    if (found == files.end()) missing_file(name);
    require(found->second.size() <= limit, "size_limit", "File exceeds read limit");
    return ThemeFile{resolver(name), found->second};
  };
}

std::uint32_t read_u32(const std::string& bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (std::size_t i = 4; i-- > 0;) value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
  return value;
}

std::uint32_t read_u16(const std::string& bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[offset]) |
                                    (static_cast<unsigned char>(bytes[offset + 1]) << 8));
}

std::uint64_t bmp_stride(std::uint64_t width) { return (width * 3 + 3) / 4 * 4; }

ThemeImage load_image(const Json& entry, std::uint32_t max_width, std::uint32_t max_height,
                      const ThemeFileReader& reader) {
  require_object(entry, "images");
  if (!entry.contains("file")) theme_error("Theme image needs a file");
  const std::string name = file_name(entry["file"], FileRole::image);
  ThemeImage image;
  if (entry.contains("pixel_art")) {
    if (!entry["pixel_art"].is_boolean()) theme_error("Theme pixel_art is true or false");
    image.pixel_art = entry["pixel_art"].get<bool>();
  }
  ThemeFile file = reader(name, bmp_stride(max_width) * max_height + kBmpHeader);
  image.path = std::move(file.path);
  const std::string& bytes = file.bytes;
  if (bytes.size() < kBmpHeader || bytes[0] != 'B' || bytes[1] != 'M') theme_error("Theme images are BMP files");
  image.width = read_u32(bytes, 18);
  image.height = read_u32(bytes, 22);
  if (image.width < 1 || image.width > max_width || image.height < 1 || image.height > max_height) {
    theme_error("Theme image is larger than " + std::to_string(max_width) + "\xC3\x97" + std::to_string(max_height) +
                " pixels");
  }
  const bool plain_bmp = read_u32(bytes, 2) == bytes.size() && read_u32(bytes, 10) == kBmpHeader &&
                         read_u32(bytes, 14) == 40 && read_u16(bytes, 26) == 1 && read_u16(bytes, 28) == 24 &&
                         read_u32(bytes, 30) == 0 && read_u32(bytes, 46) == 0 &&
                         bytes.size() == bmp_stride(image.width) * image.height + kBmpHeader;
  if (!plain_bmp) theme_error("Theme images must be uncompressed 24-bit BMP files");
  return image;
}

std::filesystem::path load_font(const Json& value, const ThemeFileReader& reader) {
  ThemeFile file = reader(file_name(value, FileRole::font), kFontLimit);
  const std::string_view head = std::string_view(file.bytes).substr(0, 4);
  if (head != std::string_view("\x00\x01\x00\x00", 4) && head != "OTTO" && head != "true") {
    theme_error("Theme fonts must be TrueType or OpenType files");
  }
  return std::move(file.path);
}

double linear_channel(std::uint8_t value) {
  const double c = value / 255.0;
  return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double luminance(const Colour& colour) {
  return 0.2126 * linear_channel(colour.red) + 0.7152 * linear_channel(colour.green) +
         0.0722 * linear_channel(colour.blue);
}

void check_contrast(const Palette& palette) {
  for (const ContrastPair& pair : kTextPairs) {
    if (contrast_ratio(palette.*pair.foreground, palette.*pair.background) < 4.5) {
      theme_error(std::string("Theme contrast is below 4.5:1 for ") + pair.name);
    }
  }
  if (palette.button && contrast_ratio(palette.text, *palette.button) < 4.5) {
    theme_error("Theme contrast is below 4.5:1 for text on button");
  }
  if (contrast_ratio(palette.focus, palette.background) < 3.0 || contrast_ratio(palette.focus, palette.panel) < 3.0) {
    theme_error("Theme focus colour is below 3:1 against the background or panel");
  }
}

Theme validate(const Json& definition, const ThemeFileReader& reader) {
  require_object(definition, "definition");
  if (!package_detail::member_integer_equals(definition, "schema_version", 1) || !definition.contains("kind") ||
      definition["kind"] != "tovra-theme") {
    theme_error("Unsupported theme schema");
  }
  theme_file_names(definition);
  Theme theme = builtin_theme();
  Palette& palette = theme.palette;

  if (!definition.contains("colors")) theme_error("Theme colors must be an object");
  const Json& colours = require_object(definition["colors"], "colors");
  for (const NamedColour& colour : kPaletteColours) {
    if (!colours.contains(colour.name)) theme_error(std::string("Theme needs the colour ") + colour.name);
    palette.*colour.member = parse_colour(colours[colour.name]);
  }
  palette.hover = colours.contains("hover") ? parse_colour(colours["hover"]) : palette.raised;
  palette.button.reset();
  if (colours.contains("button")) palette.button = parse_colour(colours["button"]);

  if (definition.contains("corners")) {
    const Json& corners = definition["corners"];
    if (corners != "square" && corners != "rounded") theme_error("Theme corners are square or rounded");
    theme.square_corners = corners == "square";
  }
  if (definition.contains("bevel")) {
    if (!definition["bevel"].is_boolean()) theme_error("Theme bevel is true or false");
    theme.bevel = definition["bevel"].get<bool>();
  }
  if (definition.contains("frame")) {
    const Json& frame = require_object(definition["frame"], "frame");
    for (const char* name : {"outline", "trim", "gap", "rivet"}) {
      if (!frame.contains(name)) theme_error(std::string("Theme frame needs the colour ") + name);
    }
    theme.frame = ThemeFrame{parse_colour(frame["outline"]), parse_colour(frame["trim"]), parse_colour(frame["gap"]),
                             parse_colour(frame["rivet"])};
  }
  if (definition.contains("text_sizes")) {
    const Json& sizes = require_object(definition["text_sizes"], "text_sizes");
    const std::pair<const char*, std::uint32_t*> members[] = {{"title", &theme.text_sizes.title},
                                                              {"heading", &theme.text_sizes.heading},
                                                              {"body", &theme.text_sizes.body},
                                                              {"small", &theme.text_sizes.small}};
    for (const auto& [name, target] : members) {
      if (!sizes.contains(name)) continue;
      const Json& size = sizes[name];
      const bool valid = size.is_number_integer() && size.get<std::int64_t>() >= 10 && size.get<std::int64_t>() <= 48 &&
                         (!size.is_number_unsigned() || size.get<std::uint64_t>() <= 48);
      if (!valid) theme_error("Theme text sizes are 10 to 48 pixels");
      *target = static_cast<std::uint32_t>(size.get<std::int64_t>());
    }
  }
  if (definition.contains("fonts")) {
    const Json& fonts = definition["fonts"];
    const std::pair<const char*, std::filesystem::path*> members[] = {
        {"regular", &theme.fonts.regular}, {"bold", &theme.fonts.bold}, {"title", &theme.fonts.title}};
    for (const auto& [name, target] : members) {
      if (fonts.contains(name)) *target = load_font(fonts[name], reader);
    }
  }
  if (definition.contains("images")) {
    const Json& images = definition["images"];
    if (images.contains("icon")) theme.icon = load_image(images["icon"], 256, 256, reader);
    if (images.contains("banner")) theme.banner = load_image(images["banner"], 2048, 1024, reader);
  }
  if (definition.contains("notices")) {
    for (const Json& notice : definition["notices"]) {
      reader(file_name(notice, FileRole::notice), theme_notice_limit);
    }
  }
  check_contrast(palette);
  return theme;
}

}  // namespace

Theme builtin_theme() {
  const auto c = [](std::uint32_t rgb) {
    return Colour{static_cast<std::uint8_t>(rgb >> 16), static_cast<std::uint8_t>(rgb >> 8),
                  static_cast<std::uint8_t>(rgb)};
  };
  Theme theme;
  Palette& p = theme.palette;
  p.background = c(0x14181f);
  p.panel = c(0x1d232e);
  p.raised = c(0x28303e);
  p.well = c(0x14181f);
  p.border = c(0x546073);
  p.hover = c(0x28303e);
  p.text = c(0xf0f3f7);
  p.muted = c(0xaab5c4);
  p.accent = c(0x2563c9);
  p.accent_hover = c(0x3474de);
  p.accent_text = c(0xffffff);
  p.danger = c(0xc4314b);
  p.danger_hover = c(0xd6425c);
  p.danger_text = c(0xffffff);
  p.warning = c(0xf0b429);
  p.success = c(0x3fb37f);
  p.focus = c(0xffd24a);
  p.disabled = c(0x303744);
  p.disabled_text = c(0x7d8796);
  p.paper = c(0x0d1117);
  p.ink = c(0xf0f3f7);
  p.ink_muted = c(0xaab5c4);
  return theme;
}

double contrast_ratio(const Colour& first, const Colour& second) {
  const double a = luminance(first);
  const double b = luminance(second);
  return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

std::vector<std::string> theme_file_names(const Json& definition) {
  require_object(definition, "definition");
  std::vector<std::string> names;
  if (definition.contains("fonts")) {
    for (const auto& [key, value] : require_object(definition["fonts"], "fonts").items()) {
      names.push_back(file_name(value, FileRole::font));
    }
  }
  if (definition.contains("images")) {
    for (const auto& [key, value] : require_object(definition["images"], "images").items()) {
      require_object(value, "images");
      if (!value.contains("file")) theme_error("Theme image needs a file");
      names.push_back(file_name(value["file"], FileRole::image));
    }
  }
  if (definition.contains("notices")) {
    const Json& notices = definition["notices"];
    if (!notices.is_array()) theme_error("Theme notices are a list of files");
    for (const Json& notice : notices) names.push_back(file_name(notice, FileRole::notice));
  }
  const std::set<std::string> distinct(names.begin(), names.end());
  if (distinct.size() != names.size() || names.size() > kMaxThemeFiles) {
    theme_error("A theme names at most 12 distinct files");
  }
  return names;
}

Theme validate_theme(const Json& definition, const ThemeResolver& resolver) {
  try {
    return validate(definition, disk_reader(resolver));
  } catch (const Json::exception&) {
    theme_error("Theme definition is malformed");
  }
}

Theme validate_theme(const Json& definition, const std::map<std::string, std::string>& files,
                     const ThemeResolver& resolver) {
  try {
    return validate(definition, memory_reader(files, resolver));
  } catch (const Json::exception&) {
    theme_error("Theme definition is malformed");
  }
}

ThemeResources read_sealed_theme(const std::filesystem::path& package_root, const ThemeSources& sources) {
  check_resource_name(sources.definition.path);
  for (const auto& [name, resource] : sources.files) check_resource_name(resource.path);

  ThemeResources resources;
  resources.definition = load_package_resource(package_root, sources.definition, theme_definition_limit);
  const Json definition = parse_json(resources.definition, theme_definition_limit);
  std::vector<std::string> names = theme_file_names(definition);

  std::uint64_t total = 0;
  for (const auto& [name, resource] : sources.files) {
    require(resource.length <= theme_files_total_limit - total, "size_limit",
            "Brand theme files exceed 16 MiB together");
    total += resource.length;
    resources.files.emplace(name, load_package_resource(package_root, resource, theme_file_limit));
  }
  std::sort(names.begin(), names.end());
  require(std::equal(names.begin(), names.end(), sources.files.begin(), sources.files.end(),
                     [](const std::string& name, const auto& entry) { return name == entry.first; }),
          "invalid_native_package", "Brand theme files differ from its definition");

  validate_theme(definition, resources.files,
                 [&package_root](const std::string& name) { return package_root / native_path("theme-" + name); });
  return resources;
}

std::optional<Theme> load_theme(const std::filesystem::path& directory) {
  const std::filesystem::path definition_path = directory / "theme.json";
  if (path_kind(definition_path) != PathKind::file) return std::nullopt;
  try {
    const Json definition =
        parse_json(read_bounded_file(definition_path, theme_definition_limit), theme_definition_limit);
    return validate_theme(definition, [&directory](const std::string& name) { return directory / native_path(name); });
  } catch (const std::exception&) {
    // The caller keeps the built-in theme.
    return std::nullopt;
  }
}

}  // namespace tovra
