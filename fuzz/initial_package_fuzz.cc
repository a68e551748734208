// The initial package descriptor: each input is written as initial-package.json into a complete
// package and loaded with a seal that matches it, so every rule past the seal is reachable.
#include "fuzz_package.h"
#include "fuzz_support.h"
#include "package/initial_package.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tovra;
  static const std::filesystem::path package = [] {
    const std::filesystem::path path = fuzz::scratch() / "package";
    builder::build_package(fuzz::fuzz_package_options(), path);
    return path;
  }();
  const std::string_view descriptor = fuzz::bytes_of(data, size);
  fuzz::put_file(package / builder::descriptor_name, descriptor);
  const std::string seal = digest_hex(descriptor, "sha256");
  fuzz::refusals_are_errors([&] {
    const InitialPackage loaded = load_initial_package(package, seal, {});
    if (loaded.descriptor_sha256 != seal) std::abort();
  });
  fuzz::refusals_are_errors([&] { read_package_brand(package, seal); });
  return 0;
}
