// Runs the built tovra-install program end to end.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/setup_command.h"
#include "core/test_util.h"
#include "package/package.h"
#include "platform/process.h"
#include "support/temp_dir.h"

namespace tovra {
namespace {

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

class Program : public ::testing::Test {
 protected:
  void SetUp() override {
    // The test program is built in tests/ below the folder that holds tovra-install.
    binary_ = current_executable_path().parent_path().parent_path() / "tovra-install";
    if (!std::filesystem::is_regular_file(binary_)) GTEST_SKIP() << "tovra-install is not built at " << binary_;
  }

  // `arguments` is shell text appended to the quoted program path.
  // `output` redirects standard output elsewhere than the captured file.
  Outcome run(const std::string& arguments, const std::string& output = "") {
    const auto out = folder_ / "out", err = folder_ / "err", code = folder_ / "code";
    testing::write_file(out, "");
    const std::string command = "'" + binary_.string() + "' " + arguments + " " +
                                (output.empty() ? ">'" + out.string() + "'" : output) + " 2>'" + err.string() +
                                "' </dev/null; echo $? >'" + code.string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    return {std::stoi(testing::read_file(code)), testing::read_file(out), testing::read_file(err)};
  }

  std::filesystem::path binary_;
  testing::TempDir folder_;
};

// Help and the argument count bound: main reads the native command line and prints the usage.
TEST_F(Program, PrintsUsageAndEnforcesTheArgumentBound) {
  std::string many;
  for (int i = 0; i < 256; ++i) many += " -h";
  const Outcome help = run(many);
  EXPECT_EQ(help.code, 0);
  EXPECT_EQ(help.out.rfind("Usage: tovra-install [COMMAND]", 0), 0u) << help.out;
  EXPECT_EQ(help.err, "");
  const Outcome too_many = run(many + " -h");
  EXPECT_EQ(too_many.code, 1);
  EXPECT_EQ(too_many.out, "");
  EXPECT_EQ(too_many.err, "Too many native command arguments\n");
}

// A result that cannot be written is a failure, not a silent success.
TEST_F(Program, AnUnwrittenResultFails) {
  for (const std::string output : {">/dev/full", ">&-"}) {
    const Outcome status = run("status --data-dir '" + (folder_ / "data").string() + "'", output);
    EXPECT_EQ(status.code, 1) << output;
    EXPECT_EQ(status.err, "Cannot write the result to standard output\n") << output;
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
