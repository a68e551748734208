#include <gtest/gtest.h>

#include "package/brand.h"
#include "samples.h"

namespace tovra {
namespace {

using testing::expect_problem;
using testing::kDigest;
using testing::Problem;

Json resource(const std::string& path, std::uint64_t length = 10) {
  return Json{{"path", path}, {"length", length}, {"sha256", kDigest}};
}

Json themed_brand() {
  Json theme{{"definition", resource("theme.json")},
             {"files", {{"body.ttf", resource("theme-body.ttf")}, {"icon.bmp", resource("theme-icon.bmp")}}}};
  return Json{{"name", "Nordlys Arcade"}, {"id", "nordlys"}, {"publisher", "Nordlys AS"},
              {"icon", resource("brand.ico")}, {"theme", theme}};
}

BrandRead read(const Json& brand) { return read_brand(Json{{"schema_version", 1}, {"brand", brand}}); }

TEST(Brand, RefusesEachFieldThemeAndResourceRule) {
  const Problem fields{"invalid_native_package", "Brand has unknown or missing fields"};
  const Problem size{"size_limit", "Initial package resource exceeds its size limit"};
  const struct {
    const char* name;
    std::function<void(Json&)> edit;
    Problem expected;
  } cases[] = {
      {"no icon", [](Json& b) { b.erase("icon"); }, fields},
      {"fifth member", [](Json& b) { b["website"] = "x"; }, fields},
      {"name missing", [](Json& b) { b.erase("name"); b["title"] = "x"; }, {"invalid_native_package", "Brand needs a name"}},
      {"publisher 129", [](Json& b) { b["publisher"] = std::string(129, 'p'); },
       {"invalid_native_package", "Brand publisher must be 1 to 128 bytes of plain text"}},
      {"name with tab", [](Json& b) { b["name"] = "Nord\tlys"; },
       {"invalid_native_package", "Brand name must be 1 to 64 bytes of plain text"}},
      {"trailing dot", [](Json& b) { b["name"] = "Nordlys."; },
       {"invalid_native_package",
        "A brand name is 1 to 64 bytes and also names a folder: no control characters, none of < > : \" / \\ | ? *, and no "
        "leading space or trailing space or dot"}},
      {"icon over 1 MiB", [](Json& b) { b["icon"] = resource("brand.ico", 1048577); }, size},
      {"theme extra member", [](Json& b) { b["theme"]["fonts"] = Json::object(); },
       {"invalid_native_package", "Initial package record has unknown or missing fields"}},
      {"theme without files", [](Json& b) { b["theme"].erase("files"); b["theme"]["extra"] = 1; },
       {"invalid_native_package", "Initial package record is missing a field"}},
      {"files array", [](Json& b) { b["theme"]["files"] = Json::array(); },
       {"invalid_native_package", "Brand theme files must be an object"}},
      {"definition case", [](Json& b) { b["theme"]["definition"]["path"] = "Theme.json"; },
       {"invalid_native_package", "Brand theme definition must be theme.json"}},
      {"file name case", [](Json& b) { b["theme"]["files"]["body.ttf"]["path"] = "theme-Body.ttf"; },
       {"invalid_native_package", "Brand theme files are stored as theme-NAME"}},
      {"definition over 64 KiB", [](Json& b) { b["theme"]["definition"]["length"] = 65537u; }, size},
      {"file over 4 MiB", [](Json& b) { b["theme"]["files"]["icon.bmp"]["length"] = 4194305u; }, size},
      {"length zero", [](Json& b) { b["theme"]["files"]["icon.bmp"]["length"] = 0u; }, size},
      {"length negative", [](Json& b) { b["theme"]["definition"]["length"] = -1; },
       {"invalid_native_package", "Resource length must be an unsigned integer"}},
      {"hash upper case", [](Json& b) { b["theme"]["definition"]["sha256"] = std::string(64, 'A'); },
       {"invalid_native_package", "Resource hash must be a lowercase SHA-256 digest"}},
  };
  for (const auto& c : cases) {
    Json brand = themed_brand();
    c.edit(brand);
    expect_problem([&] { read(brand); }, c.expected, c.name);
  }

  Json at_limits = themed_brand();
  at_limits["name"] = std::string(62, 'n') + "\xC3\xA9";
  at_limits["theme"]["definition"]["length"] = 65536u;
  at_limits["theme"]["files"]["icon.bmp"]["length"] = 4194304u;
  at_limits["icon"]["length"] = 1048576u;
  const BrandRead limits = read(at_limits);
  EXPECT_EQ(limits.brand->name.size(), 64u);
  EXPECT_EQ(limits.theme->files.at("icon.bmp").length, 4194304u);
}

}  // namespace
}  // namespace tovra
