#include <gtest/gtest.h>

#include <filesystem>

#include "package/theme.h"
#include "samples.h"
#include "support/temp_dir.h"
#include "support/links.h"

namespace tovra::testing {
namespace {

void put32(std::string& bytes, std::size_t offset, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

class ThemeFiles : public ::testing::Test {
 protected:
  Theme validate(const Json& document) {
    return validate_theme(document, [this](const std::string& name) { return dir_ / name; });
  }
  void expect_theme_problem(const Json& document, const std::string& message, const std::string& context = "") {
    expect_problem([&] { validate(document); }, {"invalid_theme", message}, context);
  }
  Json with_icon(const std::string& bytes, const std::string& name = "icon.bmp") {
    write_file(dir_ / name, bytes);
    Json document = theme_definition();
    document["images"] = {{"icon", {{"file", name}}}};
    return document;
  }
  Json with_font(const std::string& bytes, const std::string& name = "body.ttf") {
    write_file(dir_ / name, bytes);
    Json document = theme_definition();
    document["fonts"] = {{"regular", name}};
    return document;
  }
  TempDir dir_;
};

TEST(ThemeContrast, EveryPairIsCheckedInOrder) {
  // Darker first: the ratio does not depend on the order.
  EXPECT_NEAR(contrast_ratio(Colour{0x77, 0x77, 0x77}, Colour{255, 255, 255}), 4.48, 0.01);

  Json grey = theme_definition();
  grey["colors"]["text"] = "#ffffff";
  grey["colors"]["hover"] = "#767676";
  EXPECT_EQ(validate_theme(grey, {}).palette.hover, (Colour{0x76, 0x76, 0x76}));
  grey["colors"]["hover"] = "#777777";
  expect_problem([&] { validate_theme(grey, {}); }, {"invalid_theme", "Theme contrast is below 4.5:1 for text on hover"});

  const struct {
    const char* colour;
    const char* value;
    const char* pair;
  } cases[] = {
      // Text on hover: the grey threshold above.
      {"background", "#f0f3f7", "text on background"}, {"panel", "#f0f3f7", "text on panel"},
      {"raised", "#f0f3f7", "text on raised"},         {"button", "#f0f3f7", "text on button"},
      {"muted", "#14181f", "muted on background"},     {"panel", "#5a5a5a", "muted on panel"},
      {"warning", "#1d232e", "warning on panel"},      {"success", "#14181f", "success on background"},
      {"accent_text", "#2563c9", "accent_text on accent"}, {"accent_hover", "#ffffff", "accent_text on accent_hover"},
      {"danger", "#ffffff", "danger_text on danger"},  {"danger_hover", "#ffffff", "danger_text on danger_hover"},
      {"ink", "#0d1117", "ink on paper"},              {"ink_muted", "#0d1117", "ink_muted on paper"},
  };
  for (const auto& c : cases) {
    Json document = theme_definition();
    document["colors"][c.colour] = c.value;
    expect_problem([&] { validate_theme(document, {}); },
                   {"invalid_theme", std::string("Theme contrast is below 4.5:1 for ") + c.pair}, c.pair);
  }
  // #676767 is 3.1:1 against the background and 2.8:1 against the panel.
  Json focus = theme_definition();
  focus["colors"]["focus"] = "#676767";
  expect_problem([&] { validate_theme(focus, {}); },
                 {"invalid_theme", "Theme focus colour is below 3:1 against the background or panel"});
}

TEST(ThemeDefinition, BuiltInPaletteAndDefaults) {
  Json document = theme_definition();
  document["colors"].erase("hover");
  document["colors"]["raised"] = "#30303A";
  EXPECT_EQ(validate_theme(document, {}).palette.hover, (Colour{0x30, 0x30, 0x3a}));
  EXPECT_EQ(builtin_theme().palette.accent, (Colour{0x25, 0x63, 0xc9}));

  document["corners"] = "square";
  document["bevel"] = true;
  document["frame"] = {{"outline", "#000000"}, {"trim", "#111111"}, {"gap", "#222222"}, {"rivet", "#333333"}};
  document["text_sizes"] = {{"title", 48}, {"small", 10}};
  const Theme styled = validate_theme(document, {});
  EXPECT_TRUE(styled.square_corners && styled.bevel);
  EXPECT_EQ(styled.frame->rivet, (Colour{0x33, 0x33, 0x33}));
  // Sizes not given keep their defaults.
  EXPECT_EQ(styled.text_sizes.title, 48u);
  EXPECT_EQ(styled.text_sizes.heading, 20u);
}

TEST(ThemeDefinition, RefusesMalformedMembers) {
  const struct {
    const char* name;
    std::function<void(Json&)> edit;
    std::string message;
  } cases[] = {
      {"not an object", [](Json& d) { d = Json::array(); }, "Theme definition must be an object"},
      {"schema 2", [](Json& d) { d["schema_version"] = 2; }, "Unsupported theme schema"},
      {"no accent", [](Json& d) { d["colors"].erase("accent"); }, "Theme needs the colour accent"},
      {"non-hex digit", [](Json& d) { d["colors"]["panel"] = "#1d232g"; }, "Theme colours are written #rrggbb"},
      {"corners", [](Json& d) { d["corners"] = "round"; }, "Theme corners are square or rounded"},
      {"bevel", [](Json& d) { d["bevel"] = "yes"; }, "Theme bevel is true or false"},
      {"frame rivet", [](Json& d) { d["frame"] = {{"outline", "#000000"}, {"trim", "#000000"}, {"gap", "#000000"}}; },
       "Theme frame needs the colour rivet"},
      {"size 9", [](Json& d) { d["text_sizes"] = {{"body", 9}}; }, "Theme text sizes are 10 to 48 pixels"},
      {"size 49", [](Json& d) { d["text_sizes"] = {{"title", 49}}; }, "Theme text sizes are 10 to 48 pixels"},
      {"image without file", [](Json& d) { d["images"] = {{"icon", {{"pixel_art", true}}}}; }, "Theme image needs a file"},
      {"font as notice", [](Json& d) { d["notices"] = {"legal.ttf"}; }, "Theme file has the wrong kind of extension: legal.ttf"},
      {"101 bytes", [](Json& d) { d["notices"] = {std::string(97, 'n') + ".txt"}; },
       "Theme file names are 1 to 100 letters, digits, '.', '_' or '-': " + std::string(97, 'n') + ".txt"},
      {"13 files",
       [](Json& d) {
         d["notices"] = Json::array();
         for (int i = 0; i < 13; ++i) d["notices"].push_back("n" + std::to_string(i) + ".txt");
       },
       "A theme names at most 12 distinct files"},
  };
  for (const auto& c : cases) {
    Json document = theme_definition();
    c.edit(document);
    expect_problem([&] { validate_theme(document, {}); }, {"invalid_theme", c.message}, c.name);
  }
  // Installed files keep their names, so device names are refused.
  Json device = theme_definition();
  device["images"] = {{"icon", {{"file", "COM1.bmp"}}}};
  expect_problem([&] { theme_file_names(device); }, {"unsafe_path", "Path uses a reserved platform name"});
}

TEST_F(ThemeFiles, FontsAreTrueTypeOrOpenType) {
  for (const std::string& head : {std::string("\0\1\0\0", 4), std::string("OTTO"), std::string("true")}) {
    EXPECT_EQ(validate(with_font(head + "rest")).fonts.regular, dir_ / "body.ttf");
  }
  expect_theme_problem(with_font("wOFFxxxx"), "Theme fonts must be TrueType or OpenType files", "woff");

  Json document = theme_definition();
  document["fonts"] = {{"bold", "absent.ttf"}};
  expect_theme_problem(document, "Theme file is missing or not a plain file: absent.ttf", "missing");
  // Only regular, bold and title are loaded; other members only count as files.
  document["fonts"] = {{"symbols", "absent.ttf"}};
  EXPECT_NO_THROW(validate(document));

  TOVRA_NEEDS_SYMLINKS();
  write_file(dir_ / "real.ttf", "OTTO");
  make_symlink(dir_ / "real.ttf", dir_ / "link.ttf");
  document["fonts"] = {{"title", "link.ttf"}};
  expect_theme_problem(document, "Theme file is missing or not a plain file: link.ttf", "link");
}

TEST_F(ThemeFiles, ImagesOfExactMaximumSizeAreAccepted) {
  Json document = with_icon(bmp_image(256, 256), "Icon.BMP");
  document["images"]["icon"]["pixel_art"] = true;
  const ThemeImage icon = validate(document).icon.value();
  EXPECT_TRUE(icon.pixel_art);
  EXPECT_EQ(icon.path, dir_ / "Icon.BMP");

  write_file(dir_ / "banner.bmp", bmp_image(2048, 1024));
  document["images"]["banner"] = {{"file", "banner.bmp"}};
  EXPECT_EQ(validate(document).banner->width, 2048u);
  EXPECT_EQ(validate(document).banner->height, 1024u);
  for (const auto& [offset, value] : {std::pair<std::size_t, std::uint32_t>{18, 2049}, {22, 1025}}) {
    std::string wider = bmp_image(4, 4);
    put32(wider, offset, value);
    write_file(dir_ / "banner.bmp", wider);
    expect_theme_problem(document, "Theme image is larger than 2048\xC3\x97" "1024 pixels", std::to_string(value));
  }
}

TEST_F(ThemeFiles, ImagesMustBePlainBitmaps) {
  const std::string larger = "Theme image is larger than 256\xC3\x97" "256 pixels";
  const std::string plain = "Theme images must be uncompressed 24-bit BMP files";
  const struct {
    const char* name;
    std::function<std::string()> make;
    std::string message;
  } cases[] = {
      {"height 0", [] { std::string b = bmp_image(4, 4); put32(b, 22, 0); return b; }, larger},
      {"53 bytes", [] { return bmp_image(4, 4).substr(0, 53); }, "Theme images are BMP files"},
      {"32 bits", [] { std::string b = bmp_image(4, 4); b[28] = 32; return b; }, plain},
      {"data offset", [] { std::string b = bmp_image(4, 4); put32(b, 10, 58); return b; }, plain},
      {"missing padding", [] { std::string b = bmp_image(5, 2); b.resize(b.size() - 2); put32(b, 2, b.size()); return b; }, plain},
  };
  for (const auto& c : cases) expect_theme_problem(with_icon(c.make()), c.message, c.name);

  expect_problem([&] { validate(with_icon(bmp_image(257, 256))); }, {"size_limit", "File exceeds read limit"}, "257 wide");
}

TEST_F(ThemeFiles, NoticesArePlainFilesWithinTheirBound) {
  write_file(dir_ / "legal.txt", std::string(262144, 'x'));
  Json document = theme_definition();
  document["notices"] = {"legal.txt"};
  EXPECT_NO_THROW(validate(document));
  write_file(dir_ / "legal.txt", std::string(262145, 'x'));
  expect_problem([&] { validate(document); }, {"size_limit", "File exceeds read limit"});
}

TEST_F(ThemeFiles, HeldBytesAreJudgedNotTheFilesOnDisk) {
  // On disk: a WOFF font and no icon; in memory: valid files under the same names.
  Json document = with_font("wOFFxxxx");
  document["images"] = {{"icon", {{"file", "icon.bmp"}}}};
  std::map<std::string, std::string> held{{"body.ttf", "OTTO"}, {"icon.bmp", bmp_image(2, 2)}};
  const auto on_disk = [this](const std::string& name) { return dir_ / name; };
  EXPECT_EQ(validate_theme(document, held, on_disk).icon->path, dir_ / "icon.bmp");
  held["body.ttf"] = std::string(4194305, 't');
  expect_problem([&] { validate_theme(document, held, on_disk); }, {"size_limit", "File exceeds read limit"});
}

TEST_F(ThemeFiles, LoadThemeFallsBackToNone) {
  EXPECT_FALSE(load_theme(dir_.path()).has_value());
  write_file(dir_ / "theme.json", with_icon(bmp_image(3, 3)).dump());
  EXPECT_EQ(load_theme(dir_.path()).value().icon->path, dir_ / "icon.bmp");
  std::filesystem::remove(dir_ / "icon.bmp");
  EXPECT_FALSE(load_theme(dir_.path()).has_value());
}

}  // namespace
}  // namespace tovra::testing
