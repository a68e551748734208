// Runs the built tovra-install program end to end.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

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
  Outcome run(const std::string& arguments) {
    const auto out = folder_ / "out", err = folder_ / "err", code = folder_ / "code";
    const std::string command = "'" + binary_.string() + "' " + arguments + " >'" + out.string() + "' 2>'" +
                                err.string() + "' </dev/null; echo $? >'" + code.string() + "'";
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

}  // namespace
}  // namespace tovra
