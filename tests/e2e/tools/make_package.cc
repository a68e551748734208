// Builds the package a test installer is sealed to, and the translation unit holding that seal.
// Run at build time: make_test_package e2e|crash PACKAGE_DIR SEAL_SOURCE
//   e2e    one large incompressible file, so that extraction takes long enough to be interrupted;
//   crash  small, with a brand, an icon and a theme with a file, so that every durable step of a
//          commit has something to do.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string_view>

#include "core/json.h"
#include "package/package.h"

namespace {

namespace builder = tovra::builder;

builder::PackageOptions package_options(std::string_view kind) {
  builder::PackageOptions options;
  if (kind == "e2e") {
    std::mt19937_64 random(0x9e3779b97f4a7c15ull);
    std::string noise(std::size_t{48} << 20, '\0');
    for (char& byte : noise) byte = static_cast<char>(random() >> 56);
    options.launcher.files["resources/large.dat"] = {std::move(noise), false};
    return options;
  }
  if (kind != "crash") throw std::runtime_error("no package named " + std::string(kind));
  options.launcher.files["resources/notes/readme.txt"] = {"Tovra launcher notes\n", false};
  builder::BrandOptions brand;
  brand.icon = builder::ico_stub();
  tovra::Json theme = tovra::Json::parse(builder::default_theme_definition());
  theme["notices"] = tovra::Json::array({"notice.txt"});
  brand.theme = builder::ThemeOptions{theme.dump(), {{"notice.txt", "Made for crash tests.\n"}}};
  options.brand = brand;
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: make_test_package e2e|crash PACKAGE_DIR SEAL_SOURCE\n";
    return 2;
  }
  try {
    const std::filesystem::path package = argv[2];
    std::filesystem::remove_all(package);
    std::filesystem::create_directories(package.parent_path());
    const std::string seal = builder::build_package(package_options(argv[1]), package);
    std::ofstream out(argv[3], std::ios::trunc);
    out << builder::seal_source(seal);
    if (!out) throw std::runtime_error("cannot write the seal source");
  } catch (const std::exception& failure) {
    std::cerr << "make_test_package: " << failure.what() << '\n';
    return 1;
  }
  return 0;
}
