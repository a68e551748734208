#include "shortcuts/shortcuts.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <string>

#include "core/digest.h"
#include "shortcuts/fixture.h"
#include "shortcuts/uninstall_registration.h"
#include "state/data_root.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
using testing::outcome;

class ShortcutsTest : public ::testing::Test {
 protected:
  std::vector<ShortcutEntry> ledger() { return read_shortcut_ledger(install_.root); }
  std::string identity_hash() { return digest_hex(windows_security::destination_identity(install_.root, true), "sha256"); }
  // The entries an install or repair made, and its problem.
  using Made = std::pair<std::vector<fs::path>, std::string>;
  Made install_shortcuts(bool repair, std::optional<std::string> brand = {}, bool featured = false,
                         bool create = true) {
    InstallShortcutRequest request;
    request.repair = repair;
    request.create_shortcut = create;
    request.brand_name = std::move(brand);
    request.featured_game = featured;
    Made made;
    create_install_shortcuts(data_root_layout(install_.root), request, made.first, made.second);
    return made;
  }

  testing::Installation install_;
};

TEST_F(ShortcutsTest, CreatedEntriesAreRecordedAndOnlyUnchangedOnesAreRemoved) {
  ASSERT_FALSE(fs::exists(install_.menu));
  const fs::path entry = create_shortcut_command(install_.root, "", "Tovra");
  EXPECT_EQ(entry, install_.menu / "Tovra.desktop");
  EXPECT_EQ(fs::status(install_.menu).permissions() & fs::perms::mask, fs::perms::owner_all);

  const std::string bytes = testing::read_file(entry);
  EXPECT_EQ(ledger(), std::vector<ShortcutEntry>({{entry, "", "Tovra", digest_hex(bytes, "sha256")}}));

  // Unchanged: the second run touches nothing.
  const auto written = fs::last_write_time(entry);
  EXPECT_EQ(create_shortcut_command(install_.root, "", "Tovra"), entry);
  EXPECT_EQ(fs::last_write_time(entry), written);
  EXPECT_EQ(ledger().size(), 1u);

  // Edited by the user: refused and kept, and left in place by the removal.
  const fs::path game = create_shortcut_command(install_.root, "space-duel", "Tovra");
  EXPECT_EQ(game, install_.menu / "space-duel.desktop");
  testing::write_file(game, "edited");
  EXPECT_EQ(outcome([&] { create_shortcut_command(install_.root, "space-duel", "Tovra"); }),
            "already_exists: Windows shortcut destination already exists; it was preserved");
  const ShortcutRemoval removal = remove_shortcuts_command(install_.root);
  EXPECT_EQ(removal.removed, std::vector<fs::path>{entry});
  EXPECT_EQ(removal.changed, std::vector<fs::path>{game});
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_EQ(testing::read_file(game), "edited");
  EXPECT_FALSE(fs::exists(shortcut_ledger_path(install_.root)));

  // Nothing recorded any more: a second removal has nothing to do.
  const ShortcutRemoval again = remove_shortcuts_command(install_.root);
  EXPECT_TRUE(again.removed.empty() && again.changed.empty());
}

TEST_F(ShortcutsTest, EntriesAreHashedWhenTheirNameCannotBeUsed) {
  // A game identifier may be longer than a brand name may be: such a name is hashed.
  const std::string long_id(70, 'g');
  const fs::path hashed = create_shortcut_command(install_.root, long_id, "Tovra");
  EXPECT_EQ(hashed, install_.menu / ("tovra-" + identity_hash() + "-game-" + long_id + ".desktop"));
  // A reserved device name is not an identifier at all.
  EXPECT_EQ(outcome([&] { create_shortcut_command(install_.root, "con", "Tovra"); }),
            "unsafe_path: Path uses a reserved platform name");
  EXPECT_EQ(start_menu_shortcut_path(install_.root, "", ""),
            install_.menu / ("tovra-" + identity_hash() + "-launcher.desktop"));
  EXPECT_EQ(start_menu_shortcut_path(install_.root, "", std::string(65, 'x')),
            install_.menu / ("tovra-" + identity_hash() + "-launcher.desktop"));
}

TEST_F(ShortcutsTest, RestoreThatFailsPartWayLeavesTheLedgerAsItWas) {
  const fs::path launcher = create_shortcut_command(install_.root, "", "Tovra");
  const fs::path game = create_shortcut_command(install_.root, "space-duel", "Tovra");
  const fs::path custom = install_.temp / "custom" / ("Duel" + launcher.extension().string());
  fs::create_directory(custom.parent_path());
  record_shortcut({install_.program, install_.root, "space-duel", "Duel"}, custom);
  fs::remove(launcher);
  testing::write_file(game, "edited");
  fs::remove_all(custom.parent_path());
  testing::write_file(install_.root / "native" / "brand.ico", "icon");  // a restored entry would differ
  const std::string before = testing::read_file(shortcut_ledger_path(install_.root));

  const auto [shortcuts, problem] = install_shortcuts(true);
  EXPECT_EQ(problem, "Custom shortcut destinations require an existing parent directory");
  EXPECT_TRUE(shortcuts.empty());
  EXPECT_TRUE(fs::is_regular_file(launcher));  // restored before the failure, yet not recorded
  EXPECT_EQ(testing::read_file(shortcut_ledger_path(install_.root)), before);

  // With the folder back, a repair restores the vanished entries only and records them anew.
  fs::remove(launcher);
  fs::create_directory(custom.parent_path());
  const auto [restored, no_problem] = install_shortcuts(true);
  EXPECT_EQ(no_problem, "");
  EXPECT_EQ(restored, (std::vector<fs::path>{launcher, custom}));
  EXPECT_NE(testing::read_file(shortcut_ledger_path(install_.root)), before);
  EXPECT_TRUE(shortcut_unchanged(ledger()[0]));
  EXPECT_EQ(testing::read_file(game), "edited");
}

TEST_F(ShortcutsTest, InstallCreatesTheMenuEntryUnlessTheBrandFeaturesAGame) {
  EXPECT_EQ(install_shortcuts(false), Made({install_.menu / "Tovra.desktop"}, ""));
  const fs::path branded = install_.menu / "Star Forge.desktop";
  EXPECT_EQ(install_shortcuts(false, "Star Forge"), Made({branded}, ""));
  EXPECT_EQ(install_shortcuts(false, "Star Forge", true), Made({}, ""));
  EXPECT_EQ(install_shortcuts(false, std::nullopt, false, false), Made({}, ""));
  EXPECT_EQ(ledger().size(), 2u);

  // A failure is reported, not raised.
  fs::remove(install_.program);
  const auto [shortcuts, problem] = install_shortcuts(false, "Other");
  EXPECT_EQ(problem, "Windows bootstrap must be an ordinary single-link file");
  EXPECT_TRUE(shortcuts.empty());
}

TEST_F(ShortcutsTest, TheLedgerHoldsAtMost128Entries) {
  std::vector<ShortcutEntry> entries;
  for (int i = 0; i < 128; ++i) {
    entries.push_back({install_.menu / ("game-" + std::to_string(i) + ".desktop"), "game-" + std::to_string(i),
                       "game-" + std::to_string(i), std::string(64, '0')});
  }
  write_shortcut_ledger(install_.root, entries);
  EXPECT_EQ(outcome([&] { create_shortcut_command(install_.root, "", "Tovra"); }),
            "size_limit: Too many recorded shortcuts");
  EXPECT_EQ(create_shortcut_command(install_.root, "game-7", "Tovra"), entries[7].path);  // recorded: re-created
  EXPECT_TRUE(shortcut_unchanged(ledger()[7]));
  EXPECT_EQ(ledger().size(), 128u);
}

TEST_F(ShortcutsTest, RefusesUnsafeOrMisplacedDestinations) {
  const DesktopShortcut launcher{install_.program, install_.root, "", "Tovra"};
  fs::create_directories(install_.temp / "real");
  fs::create_symlink(install_.temp / "real", install_.temp / "link");
  testing::write_file(install_.temp / "file", "");
  const struct {
    fs::path destination;
    std::string expected;
  } cases[] = {
      {install_.root / "x.desktop", "shortcut_path: Shortcuts must be outside the data folder"},
      {install_.temp / "missing" / "x.desktop",
       "shortcut_path: Custom shortcut destinations require an existing parent directory"},
      // The data-folder test reads the destination's identity first, which refuses a link.
      {install_.temp / "link" / "x.desktop", "unsafe_path: Private Windows storage must be an ordinary directory or single-link file"},
      {install_.temp / "a" / ".." / "x.desktop", "shortcut_path: Shortcut paths must be absolute and normalized"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(outcome([&] { record_shortcut(launcher, c.destination); }), c.expected) << c.destination;
  }
  EXPECT_FALSE(fs::exists(shortcut_ledger_path(install_.root)));

  EXPECT_EQ(outcome([&] { require_shortcut_parent(install_.temp / "link" / "x.desktop"); }),
            "unsafe_path: Shortcut path contains a symbolic link");
  EXPECT_EQ(outcome([&] { require_shortcut_parent(install_.temp / "file" / "x.desktop"); }),
            "shortcut_path: Shortcut paths need existing plain files and directories");
  EXPECT_EQ(outcome([&] { require_plain_shortcut_path(install_.temp / "missing" / "deeper", true); }),
            "shortcut_path: Shortcut paths need existing plain files and directories");
  EXPECT_EQ(outcome([&] { require_plain_shortcut_path(install_.temp / "file", false); }), "ok");
}

TEST_F(ShortcutsTest, CommandsNeedAFinishedInstallation) {
  const fs::path empty = install_.temp / "empty";
  fs::create_directories(empty);
  EXPECT_EQ(outcome([&] { create_shortcut_command(empty, "", "Tovra"); }),
            "not_installed: Tovra is not installed in " + empty.string());
  EXPECT_EQ(outcome([&] { remove_shortcuts_command(empty); }), "not_installed: Tovra is not installed in " + empty.string());

  testing::write_file(install_.root / ".tovra-setup-incomplete", "{}");
  EXPECT_EQ(outcome([&] { create_shortcut_command(install_.root, "", "Tovra"); }).substr(0, 26),
            "native_install_incomplete:");
  EXPECT_FALSE(fs::exists(install_.menu / "Tovra.desktop"));
}

TEST_F(ShortcutsTest, UninstallEntryNamesItsProgramAndQuotesItsPaths) {
  EXPECT_EQ(uninstall_entry_name(std::nullopt), "Tovra");
  EXPECT_EQ(uninstall_entry_name("star-forge"), "Tovra.star-forge");
  EXPECT_EQ(outcome([] { check_uninstall_entry_name("Tovra.Star Forge"); }).substr(0, 17), "invalid_identity:");

  const DataRootLayout layout = data_root_layout(install_.root);
  UninstallEntry plain = installed_uninstall_entry(layout, std::nullopt);
  EXPECT_EQ(plain.executable, install_.program);
  EXPECT_EQ(plain.icon, install_.program);
  EXPECT_EQ(outcome([&] { write_uninstall_entry(plain); }), "ok");

  testing::write_file(install_.root / "native" / "brand.ico", "icon");
  const UninstallEntry branded = installed_uninstall_entry(layout, Brand{"Star Forge", "star-forge", "Forge Inc", true});
  EXPECT_EQ(branded.publisher, "Forge Inc");
  EXPECT_EQ(branded.icon, install_.root / "native" / "brand.ico");

  UninstallEntry spaced = plain;
  spaced.executable = "/opt/my games/gui.exe";
  spaced.install_location = "/home/u/my data";
  EXPECT_EQ(uninstall_command(spaced), R"("/opt/my games/gui.exe" --data-dir "/home/u/my data" --gui -- --uninstall)");

  UninstallEntry with_nul = plain;
  with_nul.display_name = std::string("To\0vra", 6);
  EXPECT_EQ(outcome([&] { write_uninstall_entry(with_nul); }), "unsafe_path: Native path contains a NUL byte");

  // Registration never fails the install; the first problem is kept.
  std::string problem = "shortcut failed first";
  register_uninstall_entry(layout, Brand{"Bad", "Bad Id", "P", false}, problem);
  EXPECT_EQ(problem, "shortcut failed first");
  problem.clear();
  register_uninstall_entry(layout, Brand{"Bad", "Bad Id", "P", false}, problem);
  EXPECT_FALSE(problem.empty());
}

TEST_F(ShortcutsTest, WritesCompactSortedDocumentsAndReadsThemBack) {
  EXPECT_TRUE(ledger().empty());  // no file: nothing recorded

  const std::vector<ShortcutEntry> entries = {
      {"/home/u/menu/Tovra.desktop", "", "Tovra", std::string(64, 'a')},
      {"/home/u/menu/spiel-\xc3\xbc.desktop", "spiel", "Spiel \xc3\xbc", std::string(64, 'b')},
  };
  write_shortcut_ledger(install_.root, entries);
  EXPECT_EQ(testing::read_file(shortcut_ledger_path(install_.root)),
            R"({"entries":[{"game":"","name":"Tovra","path":"/home/u/menu/Tovra.desktop","sha256":")" +
                std::string(64, 'a') + R"("},{"game":"spiel","name":"Spiel ü","path":"/home/u/menu/spiel-ü.desktop","sha256":")" +
                std::string(64, 'b') + R"("}],"kind":"tovra-shortcuts","schema_version":1})");
  EXPECT_EQ(ledger(), entries);

  write_shortcut_ledger(install_.root, {});
  EXPECT_FALSE(fs::exists(shortcut_ledger_path(install_.root)));
  EXPECT_TRUE(ledger().empty());
}

TEST_F(ShortcutsTest, RefusesLedgersItDoesNotUnderstand) {
  const std::string path = shortcut_ledger_path(install_.root).string();
  const std::string unsupported = "shortcut_ledger: Unsupported shortcut list " + path;
  const std::string malformed = "shortcut_ledger: Shortcut list is malformed: " + path;
  const std::string entry = R"({"game":"","name":"T","path":"/m/T.desktop","sha256":"x"})";
  std::string many = "[";
  for (int i = 0; i < 129; ++i) many += (i ? "," : "") + entry;
  many += "]";
  const auto document = [](const std::string& schema, const std::string& kind, const std::string& entries) {
    return R"({"schema_version":)" + schema + R"(,"kind":)" + kind + R"(,"entries":)" + entries +
           "}";
  };
  const std::string ok_kind = R"("tovra-shortcuts")";
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {document("1", ok_kind, "[" + entry + "]"), "ok"},
      {document("1", ok_kind, "[" + entry + "]").replace(1, 0, R"("extra":true,)"), "ok"},
      {document("2", ok_kind, "[]"), unsupported},
      {document("1", ok_kind, "{}"), unsupported},
      {document("1", R"("tovra-installation")", "[]"), unsupported},
      {document("1", ok_kind, many), unsupported},
      {document("1", ok_kind, R"([{"game":"","name":"T","path":"/m/T.desktop"}])"), malformed},
      {"{not json", malformed},
      {document("1", ok_kind, R"([{"game":"","name":"T","path":"m/T.desktop","sha256":"x"}])"),
       "shortcut_path: Shortcut paths must be absolute and normalized"},
  };
  for (const auto& c : cases) {
    testing::write_file(shortcut_ledger_path(install_.root), c.text);
    EXPECT_EQ(outcome([&] { ledger(); }), c.expected) << c.text.substr(0, 160);
  }
  fs::remove(shortcut_ledger_path(install_.root));
  fs::create_symlink(install_.temp / "elsewhere.json", shortcut_ledger_path(install_.root));
  EXPECT_NE(outcome([&] { ledger(); }), "ok");  // a dangling link is not an absent ledger
}

TEST_F(ShortcutsTest, OnlyTheExactRecordedBytesCountAsUnchanged) {
  const fs::path file = install_.temp / "Tovra.desktop";
  const std::string content = "[Desktop Entry]\nName=Tovra\n";
  testing::write_file(file, content);
  ShortcutEntry entry{file, "", "Tovra", digest_hex(content, "sha256")};
  EXPECT_TRUE(shortcut_unchanged(entry));

  ShortcutEntry upper = entry;
  for (char& c : upper.sha256) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_FALSE(shortcut_unchanged(upper));  // exact, case-sensitive comparison

  testing::write_file(file, content + "Comment=edited\n");
  EXPECT_FALSE(shortcut_unchanged(entry));

  const fs::path copy = install_.temp / "copy.desktop";
  testing::write_file(copy, content);
  fs::remove(file);
  fs::create_symlink(copy, file);
  EXPECT_FALSE(shortcut_unchanged(entry));  // a link to identical bytes is not what was written

  fs::remove(file);
  EXPECT_FALSE(shortcut_unchanged(entry));

  testing::write_file(file, std::string(65537, 'x'));
  entry.sha256 = digest_hex(std::string(65537, 'x'), "sha256");
  EXPECT_NE(outcome([&] { shortcut_unchanged(entry); }), "ok");  // too large to hash: refused
}

}  // namespace
}  // namespace tovra
