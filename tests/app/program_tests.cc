// Runs the built tovra-install program end to end: its output bytes are exactly the text, with
// line feeds alone on every platform.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/setup_command.h"
#include "support/run_process.h"

namespace tovra {
namespace {

class Program : public ::testing::Test {
 protected:
  testing::ProcessResult run(const std::vector<std::string>& arguments) {
    return testing::run_process(TOVRA_INSTALL_PROGRAM, arguments, {});
  }
};

// Help and the argument count bound: main reads the native command line and prints the usage.
TEST_F(Program, PrintsUsageAndEnforcesTheArgumentBound) {
  std::vector<std::string> many(256, "-h");
  const testing::ProcessResult help = run(many);
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_EQ(help.out, usage_text("tovra-install", true));
  EXPECT_EQ(help.err, "");
  many.push_back("-h");
  const testing::ProcessResult too_many = run(many);
  EXPECT_EQ(too_many.exit_code, 1);
  EXPECT_EQ(too_many.out, "");
  EXPECT_EQ(too_many.err, "Too many native command arguments\n");
}

}  // namespace
}  // namespace tovra
