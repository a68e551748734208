#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "app/console_run.h"
#include "app/dispatch.h"
#include "core/test_util.h"

namespace tovra {
namespace {

using std::chrono::milliseconds;

// Long operations go on while nobody asked to stop, and stop only at a safe boundary.
TEST(Cancellation, ProgressGoesOnUntilRequestedAndStopsAtASafeBoundary) {
  bool requested = false;
  NativeSetupCallbacks callbacks;
  callbacks.cancelled = [&] { return requested; };
  const ProgressAndContinue installing = Cancellation(callbacks).progress("installing");
  check_safe_boundary(installing, 4, 9);
  requested = true;
  EXPECT_EQ(testing::outcome([&] { check_safe_boundary(installing, 6, 9); }),
            "cancelled: Operation cancelled at a safe boundary");
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

TEST(ProgressLine, FiguresShowTheShareAndBothAmountsInTheTotalsUnit) {
  const struct {
    std::uint64_t done, total;
    const char* text;
  } cases[] = {
      {0, 1000, "0% (0 B of 1000 B)"},
      {1023, 1024, "99% (0.9 KiB of 1.0 KiB)"},
      {440401920, 1048576000, "42% (420.0 MiB of 1000.0 MiB)"},
      {1610612736, 2147483648, "75% (1.5 GiB of 2.0 GiB)"},
      {5, 3, "100% (3 B of 3 B)"},
  };
  for (const auto& c : cases) EXPECT_EQ(progress_figures(c.done, c.total), c.text) << c.done << "/" << c.total;
}

TEST(ProgressLine, TerminalLineIsRewrittenInPlaceAtMostTenTimesASecondAndEndsPlain) {
  const auto start = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
  auto now = start;
  const auto at = [&](int ms) { now = start + milliseconds(ms); };
  std::ostringstream err;
  const ConsolePhasePrinter printer(err, true, [&] { return now; });
  const auto progress = console_callbacks(false, {}, printer).progress;
  progress("verifying", 0, 0);
  progress("verifying", 512, 1024);  // too soon after the line was opened
  at(150), progress("verifying", 512, 1024);
  at(200), progress("verifying", 1024, 1024);
  at(260), progress("installing", 0, 2048);
  at(300), progress("installing", 1024, 2048);
  at(360), progress("installing", 1024, 2048);
  at(500), progress("installing", 1024, 2048);  // unchanged text is not written again
  printer.finish();
  printer.finish();
  const std::string blanks(25, ' ');
  EXPECT_EQ(err.str(), "Verifying\u2026\rVerifying\u2026 50% (0.5 KiB of 1.0 KiB)\rVerifying\u2026" + blanks +
                           "\nInstalling\u2026 0% (0.0 KiB of 2.0 KiB)\rInstalling\u2026 50% (1.0 KiB of 2.0 KiB)"
                           "\rInstalling\u2026" + blanks + "\n");
}

// The console's cancellation reaches the workflow in either mode; an open progress line is ended
// before the problem, and in JSON mode there is none.
TEST(ProgressLine, RunEndsAnOpenLineBeforeItsProblemAndCancellationExitsWithFour) {
  const CommandRunner cancelled_midway = [](const SetupCommand&, std::string_view,
                                            const NativeSetupCallbacks& callbacks) -> Json {
    const Cancellation cancellation(callbacks);
    EXPECT_FALSE(cancellation.progress("installing")(1, 2));
    cancellation.check();
    return Json();
  };
  std::ostringstream out, err;
  EXPECT_EQ(run_installer({"status", "--data-dir", "d"}, "tovra-install", "", [] { return true; }, out, err,
                          cancelled_midway, true),
            4);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(err.str(), "Installing\u2026 50% (1 B of 2 B)\rInstalling\u2026" + std::string(17, ' ') +
                           "\nSetup was cancelled\n");
  std::ostringstream json, json_err;
  EXPECT_EQ(run_installer({"status", "--json", "--data-dir", "d"}, "tovra-install", "", [] { return true; }, json,
                          json_err, cancelled_midway, true),
            4);
  EXPECT_EQ(json.str(), R"({"problem":{"code":"cancelled","message":"Setup was cancelled"},"schema_version":1})" "\n");
  EXPECT_EQ(json_err.str(), "Setup was cancelled\n");
}

}  // namespace
}  // namespace tovra
