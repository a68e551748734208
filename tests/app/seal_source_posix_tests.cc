// The seal is pasted into the installer's source by a CMake script run through the shell.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "core/error.h"
#include "core/test_util.h"
#include "package/package.h"
#include "support/temp_dir.h"

namespace tovra {
namespace {

// Only 64 lower-case hex digits become the seal; any other text never reaches the source, so it
// can neither break the build nor turn into a seal through escapes.
TEST(SealSource, OnlyASealIsPasted) {
  testing::TempDir dir;
  const std::string seal = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  std::string escaped;
  for (int i = 0; i < 64; ++i) escaped += "\\x61";
  const std::pair<std::string, std::string> cases[] = {
      {seal, seal}, {"", ""}, {escaped, ""}, {"ab\"; int x; \"", ""}, {seal.substr(1) + "A", ""}, {seal + "0", ""}};
  for (const auto& [input, pasted] : cases) {
    const std::string command = std::string("'") + TOVRA_CMAKE + "' '-DTOVRA_SEAL_INPUT=" + input +
                                "' -DTOVRA_SEAL_OUTPUT=" + testing::quoted(dir / "seal.cc") + " -P '" +
                                TOVRA_SEAL_SCRIPT + "'";
    ASSERT_EQ(testing::run_quiet(command), 0) << input;
    EXPECT_NE(testing::read_file(dir / "seal.cc").find("kInitialPackageSeal = \"" + pasted + "\";"), std::string::npos)
        << input;
    if (pasted.empty() && !input.empty()) {
      EXPECT_THROW(builder::seal_source(input), Error) << input;
    }
  }
  EXPECT_NE(builder::seal_source(seal).find("= \"" + seal + "\";"), std::string::npos);
}

}  // namespace
}  // namespace tovra
