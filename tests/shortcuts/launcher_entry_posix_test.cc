#include "platform/launcher_entry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

#include "shortcuts/fixture.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
using testing::outcome;
using testing::pe_image;

TEST(DesktopEntryText, EscapesAndQuotesSurviveTheReader) {
  EXPECT_EQ(desktop_entry::quote_exec_argument("a \"b\" `c` $d \\e 100%"), R"("a \"b\" \`c\` \$d \\e 100%%")");

  for (const std::string tricky : {"/x/$HOME/`id`", "/x/\"quoted\"", "/x/back\\slash",
                                   "/x/100%/%f", " /lead and trail "}) {
    const std::string exec = desktop_entry::quote_exec_argument(tricky) + " --gui";
    const std::string image = "[Desktop Entry]\nExec=" + desktop_entry::escape_value(exec) +
                              "\nName=" + desktop_entry::escape_value(tricky) + "\n";
    desktop_entry::ParsedEntry entry;
    std::string problem;
    ASSERT_TRUE(desktop_entry::parse(image, entry, problem)) << tricky << ": " << problem;
    EXPECT_EQ(entry.keys.at("Name"), tricky);
    EXPECT_EQ(entry.exec, (std::vector<std::string>{tricky, "--gui"}));
  }
}

TEST(DesktopEntryText, ReaderRefusesWhatItCannotReadUnambiguously) {
  const std::string head = "[Desktop Entry]\n";
  for (const std::string& image : {
           std::string("Name=x\n"),                         // no group
           head + "Name=x\nName=y\n",                        // duplicate key
           head + "Name=x\n[Desktop Action run]\nExec=y\n",  // a second group
           head + "Name=a\\qb\n",                            // unknown escape
           head + "Name x\n",                                // no '='
           head + "Exec=\"/bin/x --gui\n",                   // unterminated quote
           head + "Exec=\"/bin/x\" %f\n",                    // a field code
           head + "Exec=\"/bin/$x\"\n",                      // '$' must be escaped in quotes
           head + "Exec=/bin/x\"y\"\n",                      // quote inside a bare word
       }) {
    desktop_entry::ParsedEntry entry;
    std::string problem;
    EXPECT_FALSE(desktop_entry::parse(image, entry, problem)) << image;
    EXPECT_FALSE(problem.empty());
  }
}

LauncherEntryFields sample_fields() {
  LauncherEntryFields fields;
  fields.target = "/opt/tovra app/bin/gui.exe";
  fields.data_root = "/home/u/Tovra";
  fields.arguments = {"--data-dir", "/home/u/Tovra", "--gui", "--game", "space-duel"};
  fields.working_directory = "/opt/tovra app/bin";
  fields.description = "Space Duel";
  fields.icon = "/home/u/Tovra/native/brand.ico";
  return fields;
}

std::string sample_image() {
  return "[Desktop Entry]\nType=Application\nVersion=1.4\nName=Space Duel\n"
         "Exec=\"/opt/tovra app/bin/gui.exe\" --data-dir \"/home/u/Tovra\" --gui --game \"space-duel\"\n"
         "Path=/opt/tovra app/bin\nIcon=/home/u/Tovra/native/brand.ico\nTerminal=false\n";
}

TEST(DesktopEntryVerification, NamesTheFirstFieldThatDiffers) {
  const auto fields_with = [](const std::function<void(LauncherEntryFields&)>& change) {
    LauncherEntryFields fields = sample_fields();
    change(fields);
    return fields;
  };
  const auto replaced = [](std::string image, const std::string& from, const std::string& to) {
    return image.replace(image.find(from), from.size(), to);
  };
  const struct {
    std::string image;
    LauncherEntryFields fields;
    const char* expected;
  } cases[] = {
      {sample_image(), sample_fields(), "ok"},
      {"", sample_fields(), "size"},
      {std::string(32769, '#'), sample_fields(), "size"},
      {sample_image() + "TryExec=/bin/sh\n", sample_fields(), "flags"},
      {replaced(sample_image(), "Name=", "Name= "), sample_fields(), "ok"},  // blanks after '=' are not content
      {sample_image(), fields_with([](auto& s) { s.arguments[1] = "/home/u/Other"; }), "arguments"},
      {sample_image(), fields_with([](auto& s) { s.target = "/opt/tovra app/bin/GUI.exe"; }), "target"},
      {sample_image(), fields_with([](auto& s) { s.working_directory = "/opt"; }), "working directory"},
      {sample_image(), fields_with([](auto& s) { s.icon = "/opt/tovra app/bin/gui.exe"; }), "icon"},
      {sample_image(), fields_with([](auto& s) { s.description = "space duel"; }), "description"},
      {replaced(sample_image(), "Terminal=false", "Terminal=true"), sample_fields(), "presentation"},
      {replaced(sample_image(), "Name=Space", "Name=\\xSpace"), sample_fields(), "link fields"},
  };
  for (const auto& c : cases) {
    std::string name;
    const bool same = desktop_entry::verify(c.image, c.fields, name);
    EXPECT_EQ(same ? "ok" : name, c.expected) << c.image.substr(0, 200);
  }
}

class LauncherEntryWriter : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(menu_); }
  DesktopShortcut shortcut(const std::string& game = "") const {
    return {install_.program, install_.root, game, game.empty() ? "Tovra" : game};
  }

  testing::Installation install_;
  fs::path menu_ = install_.temp / "menu";
};

TEST_F(LauncherEntryWriter, WritesValidatedEntriesForTheLauncherAndForGames) {
  // Blanks and shell characters in the data folder stay one argument; without a brand icon the
  // program shows its own.
  const fs::path odd_root = install_.temp / "my $games 100% `x`";
  windows_security::ensure_private_directory(odd_root / "native");
  std::string image;
  create_launcher_entry({install_.program, odd_root, "", " My Games"}, menu_ / "odd.desktop", &image);
  EXPECT_EQ(testing::read_file(menu_ / "odd.desktop"), image);
  EXPECT_EQ(testing::validate_entry(menu_ / "odd.desktop"), "ok");
  desktop_entry::ParsedEntry entry;
  std::string problem;
  ASSERT_TRUE(desktop_entry::parse(image, entry, problem)) << problem;
  EXPECT_EQ(entry.exec, (std::vector<std::string>{install_.program.string(), "--data-dir", odd_root.string(), "--gui"}));
  EXPECT_EQ(entry.keys.at("Name"), " My Games");
  EXPECT_EQ(entry.keys.at("Icon"), install_.program.string());
  EXPECT_EQ(entry.keys.at("Path"), install_.program.parent_path().string());

  testing::write_file(install_.root / "native" / "brand.ico", "ico");
  create_launcher_entry(shortcut("space-duel"), menu_ / "space-duel.DESKTOP", &image);
  // The validator insists on the lower-case name.
  testing::write_file(menu_ / "copy.desktop", image);
  EXPECT_EQ(testing::validate_entry(menu_ / "copy.desktop"), "ok");
  EXPECT_NE(image.find("--gui --game \"space-duel\"\n"), std::string::npos) << image;
  const std::string brand_icon = "Icon=" + (install_.root / "native" / "brand.ico").string() + "\n";
  EXPECT_NE(image.find(brand_icon), std::string::npos);
}

// An ancestor of the menu folder swapped for a link while entries are written never sends an
// entry elsewhere: the entry lands in the folder that was checked, or nowhere.
TEST_F(LauncherEntryWriter, ASwappedAncestorCannotRedirectTheEntry) {
  const fs::path outside = install_.temp / "outside";
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
  const fs::path bin = install_.program.parent_path();
  testing::write_file(bin / "console.exe", pe_image({.subsystem = 3}));
  testing::write_file(bin / "linked.exe", pe_image({}));
  fs::create_hard_link(bin / "linked.exe", install_.temp / "second-link.exe");
  fs::create_symlink(install_.program, bin / "symlink.exe");
  testing::write_file(bin / "short.exe", "MZ");
  const fs::path versions = install_.root / "launcher" / "versions" / "1";
  fs::create_directories(versions);
  testing::write_file(versions / "gui.exe", pe_image({}));

  const auto with_target = [&](const fs::path& target) { return DesktopShortcut{target, install_.root, "", "Tovra"}; };
  const std::string outside = "shortcut_path: Windows shortcuts must be outside application data and managed launcher payloads";
  const struct {
    DesktopShortcut shortcut;
    fs::path destination;
    std::string expected;
  } cases[] = {
      {shortcut(), menu_ / "Tovra.lnk", "shortcut_path: Windows shortcut destination must end in .lnk"},
      {shortcut(), install_.root / "Tovra.desktop", outside},
      {shortcut(), versions / "Tovra.desktop", outside},
      {shortcut(), fs::path("menu/Tovra.desktop"), "shortcut_path: Windows shortcut paths must be absolute and normalized"},
      {with_target(bin / "console.exe"), menu_ / "a.desktop", testing::kNotWindowed},
      {with_target(bin / "linked.exe"), menu_ / "b.desktop",
       "shortcut_bootstrap: Windows bootstrap must be an ordinary single-link file"},
      {with_target(bin / "symlink.exe"), menu_ / "c.desktop",
       "shortcut_bootstrap: Windows bootstrap must be an ordinary single-link file"},
      {with_target(bin / "short.exe"), menu_ / "d.desktop", "shortcut_bootstrap: Cannot inspect Windows bootstrap image"},
      {with_target(versions / "gui.exe"), menu_ / "e.desktop",
       "shortcut_bootstrap: Windows shortcuts require the stable bootstrap outside staged or versioned launchers"},
      {{install_.program, install_.root, "Bad Game", "x"}, menu_ / "f.desktop", "invalid_identity"},
      {{install_.program, install_.root, "", "tab\tname"}, menu_ / "g.desktop",
       "shortcut_text: Shortcut text must be bounded and contain no control characters"},
      {{install_.program, install_.root, "", std::string(513, 'n')}, menu_ / "h.desktop",
       "shortcut_text: Shortcut text must be bounded and contain no control characters"},
      {{install_.program, install_.root, "", "bad \xff utf8"}, menu_ / "i.desktop",
       "shortcut_text: Shortcut text must be valid UTF-8"},
  };
  for (const auto& c : cases) {
    const std::string result = outcome([&] { create_launcher_entry(c.shortcut, c.destination); });
    EXPECT_EQ(result.substr(0, c.expected.size()), c.expected) << c.destination;
    EXPECT_FALSE(fs::exists(fs::symlink_status(c.destination))) << c.destination;
  }
}

}  // namespace
}  // namespace tovra
