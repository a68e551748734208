// Theme validation: THEME-JSON NUL IMAGE-BYTES. Every file name resolves into a scratch folder
// that holds a font, a notice and, as "fuzz.bmp", the image bytes of this input.
#include "fuzz_support.h"
#include "package/theme.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tovra;
  static const std::filesystem::path folder = [] {
    const std::filesystem::path path = fuzz::scratch() / "theme";
    std::filesystem::create_directories(path);
    fuzz::put_file(path / "font.ttf", std::string("\x00\x01\x00\x00", 4) + std::string(60, 'f'));
    fuzz::put_file(path / "notice.txt", "Licensed for fuzzing.\n");
    return path;
  }();
  const auto [definition, image] = fuzz::split_at_nul(fuzz::bytes_of(data, size));
  fuzz::put_file(folder / "fuzz.bmp", image);
  fuzz::refusals_are_errors([&, definition = definition] {
    const Json document = parse_json(definition, 65536);
    theme_file_names(document);
    validate_theme(document, [](const std::string& name) { return folder / name; });
  });
  return 0;
}
