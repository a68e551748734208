#include "platform/console.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/console_run.h"
#include "core/test_util.h"
#include "setup/workflows.h"

namespace tovra {
namespace {

TEST(Cancellation, ReportsAndChecksThroughTheCallbacks) {
  std::vector<std::string> reports;
  bool requested = false;
  NativeSetupCallbacks callbacks;
  callbacks.progress = [&](std::string_view phase, std::uint64_t done, std::uint64_t total) {
    reports.push_back(std::string(phase) + " " + std::to_string(done) + "/" + std::to_string(total));
  };
  callbacks.cancelled = [&] { return requested; };
  Cancellation cancellation(callbacks);

  cancellation.report("verifying", 0, 0);
  cancellation.check();
  const ProgressAndContinue installing = cancellation.progress("installing");
  EXPECT_TRUE(installing(3, 9));
  check_safe_boundary(installing, 4, 9);
  requested = true;
  EXPECT_FALSE(installing(5, 9));  // still reports before saying stop
  EXPECT_EQ(testing::outcome([&] { cancellation.check(); }), "cancelled: Setup was cancelled");
  EXPECT_EQ(testing::outcome([&] { check_safe_boundary(installing, 6, 9); }),
            "cancelled: Operation cancelled at a safe boundary");
  EXPECT_EQ(reports, (std::vector<std::string>{"verifying 0/0", "installing 3/9", "installing 4/9", "installing 5/9",
                                                "installing 6/9"}));
}

TEST(ConsolePhasePrinter, PrintsOneLinePerPhaseChange) {
  std::ostringstream err;
  const NativeSetupCallbacks callbacks = console_callbacks(false, [] { return false; }, err);
  ASSERT_TRUE(callbacks.progress);
  const NativeSetupCallbacks copy = callbacks;  // copies share what was printed last
  callbacks.progress("verifying", 0, 0);
  copy.progress("verifying", 10, 20);
  callbacks.progress("installing", 0, 0);
  callbacks.progress("installing", 1, 1);
  copy.progress("removing", 0, 0);
  callbacks.progress("cleaning", 0, 0);
  callbacks.progress("verifying", 0, 0);
  EXPECT_EQ(err.str(), "Verifying\u2026\nInstalling\u2026\nRemoving\u2026\nRemoving\u2026\nVerifying\u2026\n");
}

}  // namespace
}  // namespace tovra
