#include "shortcuts/ledger.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <string>

#include "core/digest.h"
#include "shortcuts/fixture.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
using testing::outcome;

class LedgerTest : public ::testing::Test {
 protected:
  void SetUp() override { windows_security::ensure_private_directory(root_ / "native"); }
  std::string read_outcome() {
    return outcome([&] { read_shortcut_ledger(root_); });
  }

  testing::TempDir temp_;
  fs::path root_ = temp_ / "data";
};

TEST_F(LedgerTest, WritesCompactSortedDocumentsAndReadsThemBack) {
  EXPECT_TRUE(read_shortcut_ledger(root_).empty());  // no file: nothing recorded

  const std::vector<ShortcutEntry> entries = {
      {"/home/u/menu/Tovra.desktop", "", "Tovra", std::string(64, 'a')},
      {"/home/u/menu/spiel-\xc3\xbc.desktop", "spiel", "Spiel \xc3\xbc", std::string(64, 'b')},
  };
  write_shortcut_ledger(root_, entries);
  EXPECT_EQ(testing::read_file(shortcut_ledger_path(root_)),
            R"({"entries":[{"game":"","name":"Tovra","path":"/home/u/menu/Tovra.desktop","sha256":")" +
                std::string(64, 'a') + R"("},{"game":"spiel","name":"Spiel ü","path":"/home/u/menu/spiel-ü.desktop","sha256":")" +
                std::string(64, 'b') + R"("}],"kind":"tovra-shortcuts","schema_version":1})");
  EXPECT_EQ(read_shortcut_ledger(root_), entries);

  write_shortcut_ledger(root_, {});
  EXPECT_FALSE(fs::exists(shortcut_ledger_path(root_)));
  EXPECT_TRUE(read_shortcut_ledger(root_).empty());
}

TEST_F(LedgerTest, RefusesLedgersItDoesNotUnderstand) {
  const std::string path = shortcut_ledger_path(root_).string();
  const std::string unsupported = "shortcut_ledger: Unsupported shortcut list " + path;
  const std::string malformed = "shortcut_ledger: Shortcut list is malformed: " + path;
  const std::string entry = R"({"game":"","name":"T","path":"/m/T.desktop","sha256":"x"})";
  std::string many = "[";
  for (int i = 0; i < 129; ++i) many += (i ? "," : "") + entry;
  many += "]";
  const auto ledger = [](const std::string& schema, const std::string& kind, const std::string& entries) {
    return R"({"schema_version":)" + schema + R"(,"kind":)" + kind + R"(,"entries":)" + entries +
           "}";
  };
  const std::string ok_kind = R"("tovra-shortcuts")";
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {ledger("1", ok_kind, "[" + entry + "]"), "ok"},
      {ledger("1", ok_kind, "[" + entry + "]").replace(1, 0, R"("extra":true,)"), "ok"},
      {ledger("2", ok_kind, "[]"), unsupported},
      {ledger("1", ok_kind, "{}"), unsupported},
      {ledger("1", R"("tovra-installation")", "[]"), unsupported},
      {ledger("1", ok_kind, many), unsupported},
      {ledger("1", ok_kind, R"([{"game":"","name":"T","path":"/m/T.desktop"}])"), malformed},
      {"{not json", malformed},
      {ledger("1", ok_kind, R"([{"game":"","name":"T","path":"m/T.desktop","sha256":"x"}])"),
       "shortcut_path: Shortcut paths must be absolute and normalized"},
  };
  for (const auto& c : cases) {
    testing::write_file(shortcut_ledger_path(root_), c.text);
    EXPECT_EQ(read_outcome(), c.expected) << c.text.substr(0, 160);
  }
  fs::remove(shortcut_ledger_path(root_));
  fs::create_symlink(temp_ / "elsewhere.json", shortcut_ledger_path(root_));
  EXPECT_NE(read_outcome(), "ok");  // a dangling link is not an absent ledger
}

TEST_F(LedgerTest, OnlyTheExactRecordedBytesCountAsUnchanged) {
  const fs::path file = temp_ / "Tovra.desktop";
  const std::string content = "[Desktop Entry]\nName=Tovra\n";
  testing::write_file(file, content);
  ShortcutEntry entry{file, "", "Tovra", digest_hex(content, "sha256")};
  EXPECT_TRUE(shortcut_unchanged(entry));

  ShortcutEntry upper = entry;
  for (char& c : upper.sha256) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_FALSE(shortcut_unchanged(upper));  // exact, case-sensitive comparison

  testing::write_file(file, content + "Comment=edited\n");
  EXPECT_FALSE(shortcut_unchanged(entry));

  const fs::path copy = temp_ / "copy.desktop";
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
