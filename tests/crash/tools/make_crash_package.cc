// Builds the small package the crash tests' installer is sealed to, and the translation unit that
// holds the seal. It carries a brand with an icon and a theme with a file, so that every durable
// step of a commit has something to do. Run at build time:
//   make_crash_package PACKAGE_DIR SEAL_SOURCE
#include <filesystem>
#include <fstream>
#include <iostream>

#include "core/json.h"
#include "package/package.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: make_crash_package PACKAGE_DIR SEAL_SOURCE\n";
    return 2;
  }
  try {
    namespace fs = std::filesystem;
    namespace builder = tovra::builder;
    const fs::path package = argv[1];
    fs::remove_all(package);
    fs::create_directories(package.parent_path());
    builder::PackageOptions options;
    options.launcher.files["resources/notes/readme.txt"] = {"Tovra launcher notes\n", false};
    builder::BrandOptions brand;
    brand.icon = builder::ico_stub();
    tovra::Json theme = tovra::Json::parse(builder::default_theme_definition());
    theme["notices"] = tovra::Json::array({"notice.txt"});
    brand.theme = builder::ThemeOptions{theme.dump(), {{"notice.txt", "Made for crash tests.\n"}}};
    options.brand = brand;
    const std::string seal = builder::build_package(options, package);
    std::ofstream out(argv[2], std::ios::trunc);
    out << builder::seal_source(seal);
    if (!out) throw std::runtime_error("cannot write the seal source");
  } catch (const std::exception& failure) {
    std::cerr << "make_crash_package: " << failure.what() << '\n';
    return 1;
  }
  return 0;
}
