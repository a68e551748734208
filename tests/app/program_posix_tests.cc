// The installer program run through the shell, for what only POSIX streams and tools can show.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "core/error.h"
#include "core/test_util.h"
#include "package/package.h"
#include "support/run_process.h"
#include "support/temp_dir.h"

namespace tovra {
namespace {

class ProgramShell : public ::testing::Test {
 protected:
  // `arguments` is shell text appended to the quoted program path; `output` redirects standard
  // output elsewhere than the captured file.
  testing::ProcessResult run(const std::string& arguments, const std::string& output) {
    const auto out = folder_ / "out", err = folder_ / "err", code = folder_ / "code";
    testing::write_file(out, "");
    const std::string command = std::string("'") + TOVRA_INSTALL_PROGRAM + "' " + arguments + " " + output + " 2>" +
                                testing::quoted(err) + " </dev/null; echo $? >" + testing::quoted(code);
    EXPECT_EQ(std::system(command.c_str()), 0);
    return {std::stoi(testing::read_file(code)), testing::read_file(out), testing::read_file(err)};
  }

  testing::TempDir folder_;
};

// A result or usage text that cannot be written is a failure, not a silent success.
TEST_F(ProgramShell, AnUnwrittenResultFails) {
  const std::string status = "status --data-dir '" + utf8_path(folder_ / "data") + "'";
  for (const auto& [arguments, output] : {std::pair{status, ">/dev/full"}, {status, ">&-"}, {"--help", ">&-"}}) {
    const testing::ProcessResult result = run(arguments, output);
    EXPECT_EQ(result.exit_code, 1) << arguments << output;
    EXPECT_EQ(result.err, "Cannot write the result to standard output\n") << arguments << output;
  }
}

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
