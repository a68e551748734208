#include "app/results.h"

#include <gtest/gtest.h>

#include <string>

#include "core/paths.h"

namespace tovra {
namespace {

// Sets the product name for one test and restores the default afterwards.
class Branded : public ::testing::Test {
 protected:
  void TearDown() override { product_name = "Tovra"; }
};

InstallResult sample_install() {
  InstallResult result;
  result.data_root = "Tovra-data";
  result.bootstrap = "tovra.exe";
  result.replaced = {"bootstrap", "launcher", "trust"};
  result.shortcuts = {"Tovra.desktop"};
  return result;
}

TEST(ResultDocuments, InstallDocumentIsCompactAndOrderedAndRepairSentencesFollowWhatWasReplaced) {
  InstallResult result = sample_install();
  Json document = install_document(result);
  EXPECT_EQ(serialize_document(document),
            R"({"bootstrap":"tovra.exe",)"
            R"("data_root":"Tovra-data","installed":true,"repaired":false,)"
            R"("replaced":["bootstrap","launcher","trust"],"schema_version":1,"shortcut_problem":null,)"
            R"("shortcuts":["Tovra.desktop"]})");
  EXPECT_EQ(result_text(CommandKind::install, document), "Installed Tovra in Tovra-data.");

  // Repair sentences follow what was replaced and the shortcut problem.
  result.repaired = true;
  result.replaced.clear();
  result.shortcuts.clear();
  document = install_document(result);
  EXPECT_EQ(document.at("replaced"), Json::array());
  EXPECT_EQ(result_text(CommandKind::repair, document),
            "Repaired Tovra in Tovra-data. Everything was already intact.");

  result.replaced = {"trust"};
  result.shortcut_problem = "Shortcuts must be outside the data folder";
  document = install_document(result);
  EXPECT_EQ(document.at("shortcut_problem"), "Shortcuts must be outside the data folder");
  EXPECT_EQ(result_text(CommandKind::repair, document),
            "Repaired Tovra in Tovra-data. The shortcut could not be created: "
            "Shortcuts must be outside the data folder");
}

TEST(ResultDocuments, StatusDocumentAndItsThreeSentences) {
  StatusResult result;
  result.data_root = "d";
  Json document = status_document(result);
  EXPECT_EQ(serialize_document(document),
            R"({"bootstrap_build":"","bootstrap_update_pending":false,"data_root":"d","incomplete":false,)"
            R"("installed":false,"last_operation":null,"launcher_build":"","schema_version":1,"shortcuts":[]})");
  EXPECT_EQ(result_text(CommandKind::status, document), "Tovra is not installed in d.");

  result.incomplete = true;
  EXPECT_EQ(result_text(CommandKind::status, status_document(result)), "Tovra setup did not finish in d; run repair.");

  result.incomplete = false;
  result.installed = true;
  result.bootstrap_build = "2024.5.1";
  result.shortcuts = {"Tovra.desktop", "chess.desktop"};
  result.last_operation = SetupStatus{"repair", "succeeded", "", "2026-01-02T03:04:05Z"};
  document = status_document(result);
  EXPECT_EQ(serialize_document(document),
            R"({"bootstrap_build":"2024.5.1","bootstrap_update_pending":false,"data_root":"d","incomplete":false,)"
            R"("installed":true,"last_operation":{"action":"repair","finished_at":"2026-01-02T03:04:05Z",)"
            R"("message":"","outcome":"succeeded"},"launcher_build":"","schema_version":1,)"
            R"("shortcuts":["Tovra.desktop","chess.desktop"]})");
  EXPECT_EQ(result_text(CommandKind::status, document),
            "Tovra is installed in d (bootstrap 2024.5.1, launcher not started yet).");

  result.launcher_build = "7.0.2";
  result.bootstrap_update_pending = true;
  EXPECT_EQ(result_text(CommandKind::status, status_document(result)),
            "Tovra is installed in d (bootstrap 2024.5.1, launcher 7.0.2). A Tovra update is applied on the next start.");
}

TEST(ResultDocuments, UninstallDocumentAndSentence) {
  UninstallResult result;
  result.data_root = "d";
  EXPECT_EQ(result_text(CommandKind::uninstall, uninstall_document(result)), "Removed Tovra from d.");

  result.data_removed = true;
  result.kept = {"userdata", "settings.json"};
  result.deferred = {"tovra.exe"};
  result.changed_shortcuts = {"Tovra.desktop"};
  const Json document = uninstall_document(result);
  EXPECT_EQ(serialize_document(document),
            R"({"changed_shortcuts":["Tovra.desktop"],"data_removed":true,"data_root":"d",)"
            R"("deferred":["tovra.exe"],"kept":["userdata","settings.json"],)"
            R"("schema_version":1,"uninstalled":true})");
  EXPECT_EQ(result_text(CommandKind::uninstall, document),
            "Removed Tovra from d. Saves and settings were kept. Changed shortcuts were left in place.");
}

TEST(ResultDocuments, ShortcutDocumentsAndSentences) {
  Json created = shortcut_create_document("chess.desktop");
  EXPECT_EQ(serialize_document(created), R"({"created":"chess.desktop","schema_version":1})");
  EXPECT_EQ(result_text(CommandKind::shortcut_create, created), "Created chess.desktop.");

  ShortcutRemoval removal;
  removal.removed = {"a.desktop", "b.desktop"};
  removal.changed = {"c.desktop"};
  const Json removed = shortcut_remove_document(removal);
  EXPECT_EQ(serialize_document(removed),
            R"({"changed":["c.desktop"],"removed":["a.desktop","b.desktop"],"schema_version":1})");
  EXPECT_EQ(result_text(CommandKind::shortcut_remove, removed), "Removed 2 shortcut(s).");
}

TEST(ResultDocuments, WritesUtf8Unescaped) {
  StatusResult result;
  result.data_root = native_path("\xC3\xA9t\xC3\xA9 \"q\"");
  EXPECT_NE(serialize_document(status_document(result)).find("\"data_root\":\"\xC3\xA9t\xC3\xA9 \\\"q\\\"\","),
            std::string::npos);
}

TEST_F(Branded, BrandTextReplacesOnlyFreeStandingNames) {
  EXPECT_EQ(brand_text("Tovra is installed in "), "Tovra is installed in ");
  product_name = "Acme Arcade";
  struct Case {
    const char* text;
    const char* expected;
  };
  const Case table[] = {
      {"Tovra is installed in ", "Acme Arcade is installed in "},
      {"Tovra", "Acme Arcade"},
      {"TovraX Tovra", "TovraX Acme Arcade"},
      {"xTovra Tovra2 1Tovra", "xTovra Tovra2 1Tovra"},
      {"Tovra_s (Tovra).", "Acme Arcade_s (Acme Arcade)."},
      {"\xC3\xA9Tovra", "\xC3\xA9" "Acme Arcade"},
      {"TovraTovra", "TovraTovra"},
  };
  for (const Case& row : table) EXPECT_EQ(brand_text(row.text), row.expected) << row.text;

  // The inserted name is not searched again.
  product_name = "Tovra Tovra";
  EXPECT_EQ(brand_text("Tovra!"), "Tovra Tovra!");

  // Sentences brand their fixed phrases only, never the paths or messages they carry.
  product_name = "Acme";
  InstallResult install = sample_install();
  install.data_root = "Tovra";
  install.shortcut_problem = "Tovra is not installed in x";
  EXPECT_EQ(result_text(CommandKind::install, install_document(install)),
            "Installed Acme in Tovra. The shortcut could not be created: Tovra is not installed in x");
}

}  // namespace
}  // namespace tovra
