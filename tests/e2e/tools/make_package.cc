// Builds the package the end-to-end installer is sealed to, and the translation unit holding
// that seal. Run at build time: make_e2e_package PACKAGE_DIR SEAL_SOURCE
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>

#include "package/package.h"

namespace {

namespace fs = std::filesystem;

// Incompressible bytes, so extraction takes long enough to be interrupted in the tests.
std::string noise(std::size_t size) {
  std::mt19937_64 random(0x9e3779b97f4a7c15ull);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random() >> 56);
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: make_e2e_package PACKAGE_DIR SEAL_SOURCE\n";
    return 2;
  }
  try {
    const fs::path package = argv[1];
    fs::remove_all(package);
    fs::create_directories(package.parent_path());
    tovra::builder::PackageOptions options;
    options.launcher.files["resources/large.dat"] = {noise(std::size_t{48} << 20), false};
    const std::string seal = tovra::builder::build_package(options, package);
    std::ofstream out(argv[2], std::ios::trunc);
    out << tovra::builder::seal_source(seal);
    if (!out) throw std::runtime_error("cannot write the seal source");
  } catch (const std::exception& failure) {
    std::cerr << "make_e2e_package: " << failure.what() << '\n';
    return 1;
  }
  return 0;
}
