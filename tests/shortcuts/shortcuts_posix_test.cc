// Shortcuts on POSIX: the desktop entry text, the entry writer, and the recorded shortcuts of an
// installation.

#include "shortcuts/shortcuts.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

#include "core/digest.h"
#include "core/test_util.h"
#include "package/snapshot.h"
#include "platform/launcher_entry.h"
#include "platform/storage.h"
#include "shortcuts/pe_image.h"
#include "shortcuts/uninstall_registration.h"
#include "state/data_root.h"
#include "support/temp_dir.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
using testing::outcome;
using testing::pe_image;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

TEST(DesktopEntryText, QuotesExactlyAndRefusesWhatItCannotReadUnambiguously) {
  EXPECT_EQ(desktop_entry::quote_exec_argument("a \"b\" `c` $d \\e 100%"), R"("a \"b\" \`c\` \$d \\e 100%%")");

  const std::string head = "[Desktop Entry]\n";
  for (const std::string& image : {
           head + "Name=x\nName=y\n",                        // duplicate key
           head + "Name=x\n[Desktop Action run]\nExec=y\n",  // a second group
           head + "Exec=\"/bin/x\" %f\n",                    // a field code
           head + "Exec=\"/bin/$x\"\n",                      // '$' must be escaped in quotes
       }) {
    desktop_entry::ParsedEntry entry;
    std::string problem;
    EXPECT_FALSE(desktop_entry::parse(image, entry, problem)) << image;
    EXPECT_FALSE(problem.empty());
  }
}

TEST(DesktopEntryVerification, NamesTheFirstFieldThatDiffers) {
  LauncherEntryFields fields;
  fields.target = "/opt/tovra app/bin/gui.exe";
  fields.arguments = {"--data-dir", "/home/u/Tovra", "--gui", "--game", "space-duel"};
  fields.working_directory = "/opt/tovra app/bin";
  fields.description = "Space Duel";
  fields.icon = "/home/u/Tovra/native/brand.ico";
  const std::string image =
      "[Desktop Entry]\nType=Application\nVersion=1.4\nName=Space Duel\n"
      "Exec=\"/opt/tovra app/bin/gui.exe\" --data-dir \"/home/u/Tovra\" --gui --game \"space-duel\"\n"
      "Path=/opt/tovra app/bin\nIcon=/home/u/Tovra/native/brand.ico\nTerminal=false\n";
  const auto replaced = [&](const std::string& from, const std::string& to) {
    std::string copy = image;
    return copy.replace(copy.find(from), from.size(), to);
  };
  const struct {
    std::string image;
    const char* expected;
  } cases[] = {
      {image, "ok"},
      {std::string(32769, '#'), "size"},
      {image + "TryExec=/bin/sh\n", "flags"},
      {replaced("--data-dir \"/home/u/Tovra\"", "--data-dir \"/home/u/Other\""), "arguments"},
      {replaced("bin/gui.exe\"", "bin/GUI.exe\""), "target"},
      {replaced("Terminal=false", "Terminal=true"), "presentation"},
      {replaced("Name=Space", "Name=\\xSpace"), "link fields"},
  };
  for (const auto& c : cases) {
    std::string name;
    const bool same = desktop_entry::verify(c.image, fields, name);
    EXPECT_EQ(same ? "ok" : name, c.expected) << c.image.substr(0, 200);
  }
}

// A finished installation on disk (records, bootstrap manifest and programs), the menu folder it
// uses and a private menu folder for the writer.
class ShortcutsTest : public ::testing::Test {
 protected:
  ShortcutsTest() {
    ::setenv("XDG_DATA_HOME", (temp_ / "xdg").c_str(), 1);
    windows_security::ensure_private_directory(root_ / "native");
    write_file(root_ / "native" / "installation.json", R"({"kind":"tovra-installation","schema_version":1})");
    builder::Payload payload;
    payload["bin/tovra-bootstrap.exe"] = {pe_image({.subsystem = 3}), true};
    payload["bin/tovra-bootstrap-gui.exe"] = {pe_image({}), true};
    builder::SnapshotOptions options;
    options.executable = "bin/tovra-bootstrap.exe";
    options.target = "bootstrap.tar.zst";
    options.release_fields = builder::bootstrap_release_fields("bin/tovra-bootstrap-gui.exe");
    write_file(root_ / "native" / "bootstrap.json", builder::snapshot_manifest(payload, options, "archive").dump());
    fs::create_directories(root_ / "native" / "bootstrap" / "bin");
    for (const auto& [name, file] : payload) write_file(root_ / "native" / "bootstrap" / name, file.content);
    fs::create_directories(menu_);
  }
  ~ShortcutsTest() override { ::unsetenv("XDG_DATA_HOME"); }

  DesktopShortcut shortcut(const std::string& game = "") const {
    return {program_, root_, game, game.empty() ? "Tovra" : game};
  }
  std::vector<ShortcutEntry> ledger() { return read_shortcut_ledger(root_); }
  std::string identity_hash() { return digest_hex(windows_security::destination_identity(root_, true), "sha256"); }
  // The entries an install or repair made, and its problem.
  using Made = std::pair<std::vector<fs::path>, std::string>;
  Made install_shortcuts(bool repair, std::optional<std::string> brand = {}, bool featured = false) {
    InstallShortcutRequest request;
    request.repair = repair;
    request.brand_name = std::move(brand);
    request.featured_game = featured;
    Made made;
    create_install_shortcuts(data_root_layout(root_), request, made.first, made.second);
    return made;
  }

  TempDir temp_;
  fs::path root_ = temp_ / "data";
  fs::path start_menu_ = temp_ / "xdg" / "applications";
  fs::path program_ = root_ / "native" / "bootstrap" / "bin" / "tovra-bootstrap-gui.exe";
  fs::path menu_ = temp_ / "menu";  // a private menu folder for the writer
};

using LauncherEntryWriter = ShortcutsTest;

TEST_F(LauncherEntryWriter, WritesValidatedEntriesForTheLauncherAndForGames) {
  // Blanks, shell and field-code characters in the data folder stay one argument; outer blanks
  // and backslashes in the name survive; without a brand icon the program shows its own.
  const fs::path odd_root = temp_ / "my $games 100%f `x`";
  windows_security::ensure_private_directory(odd_root / "native");
  std::string image;
  create_launcher_entry({program_, odd_root, "", " My \\Games "}, menu_ / "odd.desktop", &image);
  // The validator's warnings count as failures too.
  const fs::path report = temp_ / "validate.txt";
  EXPECT_EQ(std::system(("desktop-file-validate " + testing::quoted(menu_ / "odd.desktop") + " > " +
                         testing::quoted(report) + " 2>&1").c_str()), 0);
  EXPECT_EQ(read_file(report), "");
  desktop_entry::ParsedEntry entry;
  std::string problem;
  ASSERT_TRUE(desktop_entry::parse(image, entry, problem)) << problem;
  EXPECT_EQ(entry.exec, (std::vector<std::string>{program_.string(), "--data-dir", odd_root.string(), "--gui"}));
  EXPECT_EQ(entry.keys.at("Name"), " My \\Games ");
  EXPECT_EQ(entry.keys.at("Icon"), program_.string());
  EXPECT_EQ(entry.keys.at("Path"), program_.parent_path().string());

  write_file(root_ / "native" / "brand.ico", "ico");
  create_launcher_entry(shortcut("space-duel"), menu_ / "space-duel.DESKTOP", &image);
  EXPECT_NE(image.find("--gui --game \"space-duel\"\n"), std::string::npos) << image;
  EXPECT_NE(image.find("Icon=" + (root_ / "native" / "brand.ico").string() + "\n"), std::string::npos);
}

// An ancestor of the menu folder swapped for a link while entries are written never sends an
// entry elsewhere: the entry lands in the folder that was checked, or nowhere.
TEST_F(LauncherEntryWriter, ASwappedAncestorCannotRedirectTheEntry) {
  const fs::path outside = temp_ / "outside";
  fs::create_directories(outside / "inner");
  fs::create_directories(menu_ / "sub" / "inner");
  std::atomic<bool> stop = false;
  std::thread swapper([&] {
    std::error_code error;
    while (!stop) {
      fs::rename(menu_ / "sub", menu_ / "held", error);
      fs::create_directory_symlink(outside, menu_ / "sub", error);
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      fs::remove(menu_ / "sub", error);
      fs::rename(menu_ / "held", menu_ / "sub", error);
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  for (int i = 0; std::chrono::steady_clock::now() < end && fs::is_empty(outside / "inner"); ++i)
    outcome([&] { create_launcher_entry(shortcut(), menu_ / "sub" / "inner" / ("e" + std::to_string(i) + ".desktop")); });
  stop = true;
  swapper.join();
  EXPECT_TRUE(fs::is_empty(outside / "inner"));
}

TEST_F(LauncherEntryWriter, RefusesBadTargetsAndDestinationsWithoutWriting) {
  const fs::path bin = program_.parent_path();
  write_file(bin / "linked.exe", pe_image({}));
  fs::create_hard_link(bin / "linked.exe", temp_ / "second-link.exe");
  fs::create_symlink(program_, bin / "symlink.exe");
  write_file(bin / "short.exe", "MZ");
  const fs::path versions = temp_ / "launcher" / "versions" / "1";  // outside the data folder
  fs::create_directories(versions);
  write_file(versions / "gui.exe", pe_image({}));

  const auto with_target = [&](const fs::path& target) { return DesktopShortcut{target, root_, "", "Tovra"}; };
  const std::string outside = "shortcut_path: Windows shortcuts must be outside application data and managed launcher payloads";
  const std::string bounded = "shortcut_text: Shortcut text must be bounded and contain no control characters";
  const struct {
    DesktopShortcut shortcut;
    fs::path destination;
    std::string expected;
  } cases[] = {
      {shortcut(), menu_ / "Tovra.lnk", "shortcut_path: Windows shortcut destination must end in .lnk"},
      {shortcut(), root_ / "Tovra.desktop", outside},
      {shortcut(), versions / "Tovra.desktop", outside},
      {shortcut(), fs::path("menu/Tovra.desktop"), "shortcut_path: Windows shortcut paths must be absolute and normalized"},
      {with_target(bin / "tovra-bootstrap.exe"), menu_ / "a.desktop", testing::kNotWindowed},  // the console one
      {with_target(bin / "linked.exe"), menu_ / "b.desktop",
       "shortcut_bootstrap: Windows bootstrap must be an ordinary single-link file"},
      {with_target(bin / "symlink.exe"), menu_ / "c.desktop",
       "shortcut_bootstrap: Windows bootstrap must be an ordinary single-link file"},
      {with_target(bin / "short.exe"), menu_ / "d.desktop", "shortcut_bootstrap: Cannot inspect Windows bootstrap image"},
      {with_target(versions / "gui.exe"), menu_ / "e.desktop",
       "shortcut_bootstrap: Windows shortcuts require the stable bootstrap outside staged or versioned launchers"},
      {{program_, root_, "", "tab\tname"}, menu_ / "g.desktop", bounded},
      {{program_, root_, "", std::string(513, 'n')}, menu_ / "h.desktop", bounded},
      {{program_, root_, "", "bad \xff utf8"}, menu_ / "i.desktop",
       "shortcut_text: Shortcut text must be valid UTF-8"},
  };
  for (const auto& c : cases) {
    const std::string result = outcome([&] { create_launcher_entry(c.shortcut, c.destination); });
    EXPECT_EQ(result.substr(0, c.expected.size()), c.expected) << c.destination;
    EXPECT_FALSE(fs::exists(fs::symlink_status(c.destination))) << c.destination;
  }
}

TEST_F(ShortcutsTest, CreatedEntriesAreRecordedAndOnlyUnchangedOnesAreRemoved) {
  const fs::path entry = create_shortcut_command(root_, "", "Tovra");
  EXPECT_EQ(entry, start_menu_ / "Tovra.desktop");
  EXPECT_EQ(fs::status(start_menu_).permissions() & fs::perms::mask, fs::perms::owner_all);

  EXPECT_EQ(ledger(), std::vector<ShortcutEntry>({{entry, "", "Tovra", digest_hex(read_file(entry), "sha256")}}));

  // Unchanged: the second run touches nothing.
  const auto written = fs::last_write_time(entry);
  EXPECT_EQ(create_shortcut_command(root_, "", "Tovra"), entry);
  EXPECT_EQ(fs::last_write_time(entry), written);

  // Edited by the user: refused and kept, and left in place by the removal.
  const fs::path game = create_shortcut_command(root_, "space-duel", "Tovra");
  EXPECT_EQ(game, start_menu_ / "space-duel.desktop");
  write_file(game, "edited");
  EXPECT_EQ(outcome([&] { create_shortcut_command(root_, "space-duel", "Tovra"); }),
            "already_exists: Windows shortcut destination already exists; it was preserved");
  const ShortcutRemoval removal = remove_shortcuts_command(root_);
  EXPECT_EQ(removal.removed, std::vector<fs::path>{entry});
  EXPECT_EQ(removal.changed, std::vector<fs::path>{game});
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_EQ(read_file(game), "edited");
  EXPECT_FALSE(fs::exists(shortcut_ledger_path(root_)));
}

TEST_F(ShortcutsTest, EntriesAreHashedWhenTheirNameCannotBeUsed) {
  // A game identifier may be longer than a brand name may be: such a name is hashed.
  const std::string long_id(70, 'g');
  const fs::path hashed = create_shortcut_command(root_, long_id, "Tovra");
  EXPECT_EQ(hashed, start_menu_ / ("tovra-" + identity_hash() + "-game-" + long_id + ".desktop"));
  // A reserved device name is not an identifier at all.
  EXPECT_EQ(outcome([&] { create_shortcut_command(root_, "con", "Tovra"); }),
            "unsafe_path: Path uses a reserved platform name");
}

TEST_F(ShortcutsTest, RestoreThatFailsPartWayLeavesTheLedgerAsItWas) {
  const fs::path launcher = create_shortcut_command(root_, "", "Tovra");
  const fs::path game = create_shortcut_command(root_, "space-duel", "Tovra");
  const fs::path custom = temp_ / "custom" / ("Duel" + launcher.extension().string());
  fs::create_directory(custom.parent_path());
  record_shortcut({program_, root_, "space-duel", "Duel"}, custom);
  fs::remove(launcher);
  write_file(game, "edited");
  fs::remove_all(custom.parent_path());
  write_file(root_ / "native" / "brand.ico", "icon");  // a restored entry would differ
  const std::string before = read_file(shortcut_ledger_path(root_));

  const auto [shortcuts, problem] = install_shortcuts(true);
  EXPECT_EQ(problem, "Custom shortcut destinations require an existing parent directory");
  EXPECT_TRUE(shortcuts.empty());
  EXPECT_TRUE(fs::is_regular_file(launcher));  // restored before the failure, yet not recorded
  EXPECT_EQ(read_file(shortcut_ledger_path(root_)), before);

  // With the folder back, a repair restores the vanished entries only and records them anew.
  fs::remove(launcher);
  fs::create_directory(custom.parent_path());
  const auto [restored, no_problem] = install_shortcuts(true);
  EXPECT_EQ(no_problem, "");
  EXPECT_EQ(restored, (std::vector<fs::path>{launcher, custom}));
  EXPECT_NE(read_file(shortcut_ledger_path(root_)), before);
  EXPECT_TRUE(shortcut_unchanged(ledger()[0]));
  EXPECT_EQ(read_file(game), "edited");
}

TEST_F(ShortcutsTest, InstallCreatesTheMenuEntryUnlessTheBrandFeaturesAGame) {
  EXPECT_EQ(install_shortcuts(false), Made({start_menu_ / "Tovra.desktop"}, ""));
  EXPECT_EQ(install_shortcuts(false, "Star Forge"), Made({start_menu_ / "Star Forge.desktop"}, ""));
  EXPECT_EQ(install_shortcuts(false, "Star Forge", true), Made({}, ""));
}

TEST_F(ShortcutsTest, TheLedgerHoldsAtMost128Entries) {
  std::vector<ShortcutEntry> entries;
  for (int i = 0; i < 128; ++i) {
    entries.push_back({start_menu_ / ("game-" + std::to_string(i) + ".desktop"), "game-" + std::to_string(i),
                       "game-" + std::to_string(i), std::string(64, '0')});
  }
  write_shortcut_ledger(root_, entries);
  EXPECT_EQ(outcome([&] { create_shortcut_command(root_, "", "Tovra"); }),
            "size_limit: Too many recorded shortcuts");
  EXPECT_EQ(create_shortcut_command(root_, "game-7", "Tovra"), entries[7].path);  // recorded: re-created
  EXPECT_TRUE(shortcut_unchanged(ledger()[7]));
  EXPECT_EQ(ledger().size(), 128u);
}

TEST_F(ShortcutsTest, RefusesUnsafeOrMisplacedDestinations) {
  fs::create_directories(temp_ / "real");
  fs::create_symlink(temp_ / "real", temp_ / "link");
  const auto record = [&](const fs::path& destination) {
    return outcome([&] { record_shortcut(shortcut(), destination); });
  };
  EXPECT_EQ(record(root_ / "x.desktop"), "shortcut_path: Shortcuts must be outside the data folder");
  // The data-folder test reads the destination's identity first, which refuses a link.
  EXPECT_EQ(record(temp_ / "link" / "x.desktop"),
            "unsafe_path: Private Windows storage must be an ordinary directory or single-link file");
  EXPECT_EQ(record(temp_ / "a" / ".." / "x.desktop"), "shortcut_path: Shortcut paths must be absolute and normalized");
  EXPECT_FALSE(fs::exists(shortcut_ledger_path(root_)));

  EXPECT_EQ(outcome([&] { require_shortcut_parent(temp_ / "link" / "x.desktop"); }),
            "unsafe_path: Shortcut path contains a symbolic link");
}

TEST_F(ShortcutsTest, CommandsNeedAFinishedInstallation) {
  EXPECT_EQ(outcome([&] { create_shortcut_command(temp_.path(), "", "Tovra"); }),
            "not_installed: Tovra is not installed in " + temp_.path().string());

  write_file(root_ / ".tovra-setup-incomplete", "{}");
  EXPECT_EQ(outcome([&] { create_shortcut_command(root_, "", "Tovra"); }).substr(0, 26),
            "native_install_incomplete:");
  EXPECT_FALSE(fs::exists(start_menu_ / "Tovra.desktop"));
}

TEST_F(ShortcutsTest, UninstallEntryNamesItsProgramAndQuotesItsPaths) {
  EXPECT_EQ(uninstall_entry_name(std::nullopt), "Tovra");
  EXPECT_EQ(uninstall_entry_name("star-forge"), "Tovra.star-forge");

  const DataRootLayout layout = data_root_layout(root_);
  UninstallEntry plain = installed_uninstall_entry(layout, std::nullopt);
  EXPECT_EQ(plain.icon, program_);
  EXPECT_EQ(outcome([&] { write_uninstall_entry(plain); }), "ok");

  write_file(root_ / "native" / "brand.ico", "icon");
  const UninstallEntry branded = installed_uninstall_entry(layout, Brand{"Star Forge", "star-forge", "Forge Inc", true});
  EXPECT_EQ(branded.icon, root_ / "native" / "brand.ico");

  EXPECT_EQ(uninstall_command(plain),
            "\"" + program_.string() + "\" --data-dir \"" + root_.string() + "\" --gui -- --uninstall");

  plain.display_name = std::string("To\0vra", 6);
  EXPECT_EQ(outcome([&] { write_uninstall_entry(plain); }), "unsafe_path: Native path contains a NUL byte");

  // Registration never fails the install; the first problem is kept.
  std::string problem = "shortcut failed first";
  register_uninstall_entry(layout, Brand{"Bad", "Bad Id", "P", false}, problem);
  EXPECT_EQ(problem, "shortcut failed first");
  problem.clear();
  register_uninstall_entry(layout, Brand{"Bad", "Bad Id", "P", false}, problem);
  EXPECT_EQ(problem, "Game and build IDs use lower-case letters, digits, dots and hyphens");  // the brand id's
}

TEST_F(ShortcutsTest, WritesCompactSortedDocumentsAndReadsThemBack) {
  const std::vector<ShortcutEntry> entries = {
      {"/home/u/menu/Tovra.desktop", "", "Tovra", std::string(64, 'a')},
      {"/home/u/menu/spiel-\xc3\xbc.desktop", "spiel", "Spiel \xc3\xbc", std::string(64, 'b')},
  };
  write_shortcut_ledger(root_, entries);
  EXPECT_EQ(read_file(shortcut_ledger_path(root_)),
            R"({"entries":[{"game":"","name":"Tovra","path":"/home/u/menu/Tovra.desktop","sha256":")" +
                std::string(64, 'a') + R"("},{"game":"spiel","name":"Spiel ü","path":"/home/u/menu/spiel-ü.desktop","sha256":")" +
                std::string(64, 'b') + R"("}],"kind":"tovra-shortcuts","schema_version":1})");
  EXPECT_EQ(ledger(), entries);
}

TEST_F(ShortcutsTest, RefusesLedgersItDoesNotUnderstand) {
  const fs::path file = shortcut_ledger_path(root_);
  // An extra member is ignored; 129 entries are one too many; an entry without its digest is malformed.
  const std::string head = R"({"schema_version":1,"kind":"tovra-shortcuts","extra":true,"entries":[)";
  const std::string entry = R"({"game":"","name":"T","path":"/m/T.desktop","sha256":"x"})";
  write_file(file, head + entry + "]}");
  EXPECT_EQ(outcome([&] { ledger(); }), "ok");
  std::string many = head + entry;
  for (int i = 1; i < 129; ++i) many += "," + entry;
  write_file(file, many + "]}");
  EXPECT_EQ(outcome([&] { ledger(); }), "shortcut_ledger: Unsupported shortcut list " + file.string());
  write_file(file, head + R"({"game":"","name":"T","path":"/m/T.desktop"}]})");
  EXPECT_EQ(outcome([&] { ledger(); }), "shortcut_ledger: Shortcut list is malformed: " + file.string());

  fs::remove(file);
  fs::create_symlink(temp_ / "elsewhere.json", file);
  EXPECT_NE(outcome([&] { ledger(); }), "ok");  // a dangling link is not an absent ledger
}

// Removal and restore walk an unchanged and an edited entry; these are the cases they do not.
TEST_F(ShortcutsTest, ALinkToTheRecordedBytesOrAnOversizedFileIsNotUnchanged) {
  const fs::path file = temp_ / "Tovra.desktop";
  const std::string content = "[Desktop Entry]\nName=Tovra\n";
  write_file(temp_ / "copy.desktop", content);
  fs::create_symlink(temp_ / "copy.desktop", file);
  ShortcutEntry entry{temp_ / "copy.desktop", "", "Tovra", digest_hex(content, "sha256")};
  EXPECT_TRUE(shortcut_unchanged(entry));
  entry.path = file;
  EXPECT_FALSE(shortcut_unchanged(entry));

  write_file(temp_ / "large.desktop", std::string(65537, 'x'));
  entry = {temp_ / "large.desktop", "", "Tovra", digest_hex(std::string(65537, 'x'), "sha256")};
  EXPECT_NE(outcome([&] { shortcut_unchanged(entry); }), "ok");  // too large to hash: refused
}

}  // namespace
}  // namespace tovra
