#include "app/results.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <tuple>

#include "app/console_run.h"
#include "app/dispatch.h"
#include "core/paths.h"
#include "core/test_util.h"

namespace tovra {
namespace {

// Members in byte order of their names, compact, UTF-8 unescaped.
TEST(ResultDocuments, AreCompactAndOrderedByMemberName) {
  const InstallResult install{.data_root = native_path("\xC3\xA9t\xC3\xA9"), .bootstrap = "tovra.exe",
                              .replaced = {"bootstrap", "launcher", "trust"}, .shortcuts = {"Tovra.desktop"},
                              .shortcut_problem = ""};
  EXPECT_EQ(serialize_document(install_document(install)),
            "{\"bootstrap\":\"tovra.exe\",\"data_root\":\"\xC3\xA9t\xC3\xA9\",\"installed\":true,"
            R"("repaired":false,"replaced":["bootstrap","launcher","trust"],"schema_version":1,)"
            R"("shortcut_problem":null,"shortcuts":["Tovra.desktop"]})");

  // The empty status is printed whole by the dispatch tests.
  const StatusResult status{.data_root = "d", .installed = true, .bootstrap_build = "2024.5.1", .launcher_build = "",
                            .shortcuts = {"Tovra.desktop", "chess.desktop"},
                            .last_operation = SetupStatus{"repair", "succeeded", "", "2026-01-02T03:04:05Z"}};
  EXPECT_EQ(serialize_document(status_document(status)),
            R"({"bootstrap_build":"2024.5.1","bootstrap_update_pending":false,"data_root":"d","incomplete":false,)"
            R"("installed":true,"last_operation":{"action":"repair","finished_at":"2026-01-02T03:04:05Z",)"
            R"("message":"","outcome":"succeeded"},"launcher_build":"","schema_version":1,)"
            R"("shortcuts":["Tovra.desktop","chess.desktop"]})");

  const UninstallResult uninstall{.data_root = "d", .data_removed = true, .kept = {"userdata", "settings.json"},
                                  .deferred = {"tovra.exe"}, .changed_shortcuts = {"Tovra.desktop"}};
  EXPECT_EQ(serialize_document(uninstall_document(uninstall)),
            R"({"changed_shortcuts":["Tovra.desktop"],"data_removed":true,"data_root":"d",)"
            R"("deferred":["tovra.exe"],"kept":["userdata","settings.json"],"schema_version":1,"uninstalled":true})");

  EXPECT_EQ(serialize_document(shortcut_create_document("chess.desktop")),
            R"({"created":"chess.desktop","schema_version":1})");
  const ShortcutRemoval removal{.removed = {"a.desktop", "b.desktop"}, .changed = {"c.desktop"}};
  EXPECT_EQ(serialize_document(shortcut_remove_document(removal)),
            R"({"changed":["c.desktop"],"removed":["a.desktop","b.desktop"],"schema_version":1})");
}

// Each sentence is read from the document alone; fixed phrases carry the product's name, while
// the folders and messages they quote stay as they are.
TEST(ResultText, FollowsTheDocumentAndBrandsOnlyItsFixedPhrases) {
  const std::tuple<const char*, CommandKind, const char*, const char*> cases[] = {
      {"Tovra", CommandKind::repair, R"({"data_root":"d","repaired":true,"replaced":[],"shortcut_problem":null})",
       "Repaired Tovra in d. Everything was already intact."},
      {"Acme", CommandKind::repair, R"({"data_root":"Tovra","repaired":true,"replaced":["trust"],)"
       R"("shortcut_problem":"Tovra is not installed in x"})",
       "Repaired Acme in Tovra. The shortcut could not be created: Tovra is not installed in x"},
      {"Tovra", CommandKind::status, R"({"data_root":"d","incomplete":true,"installed":false})",
       "Tovra setup did not finish in d; run repair."},
      {"Tovra", CommandKind::status, R"({"bootstrap_build":"2024.5.1","bootstrap_update_pending":false,)"
       R"("data_root":"d","incomplete":false,"installed":true,"launcher_build":""})",
       "Tovra is installed in d (bootstrap 2024.5.1, launcher not started yet)."},
      {"Acme", CommandKind::status, R"({"bootstrap_build":"2024.5.1","bootstrap_update_pending":true,)"
       R"("data_root":"d","incomplete":false,"installed":true,"launcher_build":"7.0.2"})",
       "Acme is installed in d (bootstrap 2024.5.1, launcher 7.0.2). A Acme update is applied on the next start."},
      {"Tovra", CommandKind::uninstall, R"({"changed_shortcuts":[],"data_root":"d","kept":[]})",
       "Removed Tovra from d."},
      {"Tovra", CommandKind::uninstall, R"({"changed_shortcuts":["c"],"data_root":"d","kept":["userdata"]})",
       "Removed Tovra from d. Saves and settings were kept. Changed shortcuts were left in place."},
      {"Acme", CommandKind::shortcut_create, R"({"created":"Tovra.desktop"})", "Created Tovra.desktop."},
      {"Tovra", CommandKind::shortcut_remove, R"({"changed":["c"],"removed":["a","b"]})", "Removed 2 shortcut(s)."},
  };
  for (const auto& [product, command, document, sentence] : cases) {
    product_name = product;
    EXPECT_EQ(result_text(command, Json::parse(document)), sentence) << document;
  }
  product_name = "Tovra";
}

TEST(BrandText, ReplacesOnlyFreeStandingNames) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"Acme Arcade", "TovraX Tovra", "TovraX Acme Arcade"},
      {"Acme Arcade", "xTovra Tovra2 1Tovra", "xTovra Tovra2 1Tovra"},
      {"Acme Arcade", "Tovra_s (Tovra).", "Acme Arcade_s (Acme Arcade)."},
      {"Acme Arcade", "\xC3\xA9Tovra", "\xC3\xA9" "Acme Arcade"},
      {"Tovra Tovra", "Tovra!", "Tovra Tovra!"},  // the inserted name is not searched again
  };
  for (const auto& [product, text, expected] : cases) {
    product_name = product;
    EXPECT_EQ(brand_text(text), expected) << text;
  }
  product_name = "Tovra";
}

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
  const std::tuple<std::uint64_t, std::uint64_t, const char*> cases[] = {
      {0, 1000, "0% (0 B of 1000 B)"},
      {1023, 1024, "99% (0.9 KiB of 1.0 KiB)"},
      {440401920, 1048576000, "42% (420.0 MiB of 1000.0 MiB)"},
      {1610612736, 2147483648, "75% (1.5 GiB of 2.0 GiB)"},
      {5, 3, "100% (3 B of 3 B)"},
  };
  for (const auto& [done, total, text] : cases) EXPECT_EQ(progress_figures(done, total), text) << done << "/" << total;
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
// before the problem, and in JSON mode there is none. (How a problem document is printed is the
// dispatch tests' subject.)
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
  EXPECT_EQ(json_err.str(), "Setup was cancelled\n");
}

}  // namespace
}  // namespace tovra
