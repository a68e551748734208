#include "app/results.h"

#include <gtest/gtest.h>

#include <string>

#include "core/paths.h"

namespace tovra {
namespace {

// Members in byte order of their names, compact, UTF-8 unescaped.
TEST(ResultDocuments, AreCompactAndOrderedByMemberName) {
  InstallResult install;
  install.data_root = native_path("\xC3\xA9t\xC3\xA9");
  install.bootstrap = "tovra.exe";
  install.replaced = {"bootstrap", "launcher", "trust"};
  install.shortcuts = {"Tovra.desktop"};
  EXPECT_EQ(serialize_document(install_document(install)),
            "{\"bootstrap\":\"tovra.exe\",\"data_root\":\"\xC3\xA9t\xC3\xA9\",\"installed\":true,"
            R"("repaired":false,"replaced":["bootstrap","launcher","trust"],"schema_version":1,)"
            R"("shortcut_problem":null,"shortcuts":["Tovra.desktop"]})");

  StatusResult status;  // the empty status is printed whole by the dispatch tests
  status.data_root = "d";
  status.installed = true;
  status.bootstrap_build = "2024.5.1";
  status.shortcuts = {"Tovra.desktop", "chess.desktop"};
  status.last_operation = SetupStatus{"repair", "succeeded", "", "2026-01-02T03:04:05Z"};
  EXPECT_EQ(serialize_document(status_document(status)),
            R"({"bootstrap_build":"2024.5.1","bootstrap_update_pending":false,"data_root":"d","incomplete":false,)"
            R"("installed":true,"last_operation":{"action":"repair","finished_at":"2026-01-02T03:04:05Z",)"
            R"("message":"","outcome":"succeeded"},"launcher_build":"","schema_version":1,)"
            R"("shortcuts":["Tovra.desktop","chess.desktop"]})");

  UninstallResult uninstall;
  uninstall.data_root = "d";
  uninstall.data_removed = true;
  uninstall.kept = {"userdata", "settings.json"};
  uninstall.deferred = {"tovra.exe"};
  uninstall.changed_shortcuts = {"Tovra.desktop"};
  EXPECT_EQ(serialize_document(uninstall_document(uninstall)),
            R"({"changed_shortcuts":["Tovra.desktop"],"data_removed":true,"data_root":"d",)"
            R"("deferred":["tovra.exe"],"kept":["userdata","settings.json"],"schema_version":1,"uninstalled":true})");

  EXPECT_EQ(serialize_document(shortcut_create_document("chess.desktop")),
            R"({"created":"chess.desktop","schema_version":1})");
  ShortcutRemoval removal;
  removal.removed = {"a.desktop", "b.desktop"};
  removal.changed = {"c.desktop"};
  EXPECT_EQ(serialize_document(shortcut_remove_document(removal)),
            R"({"changed":["c.desktop"],"removed":["a.desktop","b.desktop"],"schema_version":1})");
}

// Each sentence is read from the document alone; fixed phrases carry the product's name, while
// the folders and messages they quote stay as they are.
TEST(ResultText, FollowsTheDocumentAndBrandsOnlyItsFixedPhrases) {
  const struct {
    const char* product;
    CommandKind command;
    const char* document;
    const char* sentence;
  } cases[] = {
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
  for (const auto& c : cases) {
    product_name = c.product;
    EXPECT_EQ(result_text(c.command, Json::parse(c.document)), c.sentence) << c.document;
  }
  product_name = "Tovra";
}

TEST(BrandText, ReplacesOnlyFreeStandingNames) {
  EXPECT_EQ(brand_text("Tovra is installed in "), "Tovra is installed in ");
  const struct {
    const char* product;
    const char* text;
    const char* expected;
  } cases[] = {
      {"Acme Arcade", "Tovra", "Acme Arcade"},
      {"Acme Arcade", "TovraX Tovra", "TovraX Acme Arcade"},
      {"Acme Arcade", "xTovra Tovra2 1Tovra", "xTovra Tovra2 1Tovra"},
      {"Acme Arcade", "Tovra_s (Tovra).", "Acme Arcade_s (Acme Arcade)."},
      {"Acme Arcade", "\xC3\xA9Tovra", "\xC3\xA9" "Acme Arcade"},
      {"Acme Arcade", "TovraTovra", "TovraTovra"},
      {"Tovra Tovra", "Tovra!", "Tovra Tovra!"},  // the inserted name is not searched again
  };
  for (const auto& c : cases) {
    product_name = c.product;
    EXPECT_EQ(brand_text(c.text), c.expected) << c.text;
  }
  product_name = "Tovra";
}

}  // namespace
}  // namespace tovra
