#include "platform/storage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "core/test_util.h"
#include "platform/delayed_removal.h"
#include "support/temp_dir.h"

namespace tovra::windows_security {
namespace {

namespace fs = std::filesystem;
using tovra::testing::outcome;
using tovra::testing::quoted;
using tovra::testing::run_quiet;
using tovra::testing::TempDir;

const std::string not_ordinary = "Private Windows storage must be an ordinary directory or single-link file";

fs::perms mode_of(const fs::path& path) { return fs::symlink_status(path).permissions() & fs::perms::mask; }

// Only POSIX reads "\\" and ":" inside a component as characters, which Windows refuses there.
TEST(PathRules, SeparatorsOfWindowsAreUnsafeCharacters) {
  for (const char* path : {"a:b", "a\\b"})
    EXPECT_EQ(outcome([&] { check_path_components(path); }), "unsafe_path: Windows storage path contains an unsafe component")
        << path;
}

// A fresh folder below the test's private temporary folder, set up by a shell command.
class PrivateFolder : public ::testing::Test {
 protected:
  fs::path make(const std::string& name, const std::string& setup = "") {
    const fs::path path = temp_ / name;
    fs::create_directories(path);
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::replace);
    if (!setup.empty()) {
      EXPECT_EQ(run_quiet(setup + " " + quoted(path)), 0) << setup;
    }
    return path;
  }
  TempDir temp_;
};

TEST_F(PrivateFolder, RefusesEveryWayOfSharingAFolder) {
  const struct {
    std::string setup;
    std::string expected;
  } cases[] = {
      {"true", "ok"},
      {"chown 12345", "permissions: Private Windows storage must belong to the current user"},
      {"chmod 0750", "permissions: Windows directory permissions are not private"},
      {"chmod 0500", "permissions: Private Windows storage must retain current-user access and private inheritance"},
      {"setfacl -m u:12345:rx", "permissions: Windows storage grants access to another identity (uid:12345)"},
      {"setfacl -m g:23456:r", "permissions: Windows storage grants access to another identity (gid:23456)"},
      {"setfacl -d -m u:12346:rwx", "permissions: Windows storage grants access to another identity (uid:12346)"},
      {"setfacl -d -m g::rx", "permissions: Windows directory permissions are not private"},
      // The superuser's entry widens the mask, not the owning group's access.
      {"setfacl -m u:0:rwx", "ok"},
  };
  int index = 0;
  for (const auto& c : cases) {
    const fs::path folder = make("case" + std::to_string(index++), c.setup);
    EXPECT_EQ(outcome([&] { ensure_private_directory(folder); }), c.expected) << c.setup;
  }
}

TEST_F(PrivateFolder, CreatesMissingFoldersPrivatelyWithoutInheritingAcls) {
  const fs::path parent = make("parent", "setfacl -d -m u:12345:rwx");
  const fs::path target = parent / "a" / "b";
  ensure_private_directory(target);
  EXPECT_EQ(mode_of(parent / "a"), fs::perms::owner_all);
  EXPECT_EQ(mode_of(target), fs::perms::owner_all);
}

TEST_F(PrivateFolder, NeverFollowsALinkInTheAncestry) {
  const fs::path real = make("real");
  fs::create_directory(real / "inner");
  fs::permissions(real / "inner", fs::perms::owner_all, fs::perm_options::replace);
  fs::create_directory_symlink(real, temp_.path() / "link");
  fs::create_directory_symlink(real / "inner", real / "inner-link");
  tovra::testing::write_file(real / "file", "x");
  const std::string refused = "unsafe_path: " + not_ordinary;
  EXPECT_EQ(outcome([&] { ensure_private_directory(temp_.path() / "link" / "inner"); }), refused);
  EXPECT_EQ(outcome([&] { ensure_private_directory(temp_.path() / "link" / "new"); }), refused);
  EXPECT_EQ(outcome([&] { ensure_private_directory(real / "inner-link"); }), refused);
  EXPECT_EQ(outcome([&] { ensure_private_directory(real / "file" / "sub"); }), refused);
  EXPECT_FALSE(fs::exists(real / "new"));
  EXPECT_EQ(outcome([&] { with_directory_chain(temp_.path() / "link", [](const DirectoryChain&) {}); }), refused);
}

TEST_F(PrivateFolder, HoldsTheChainFromTheRoot) {
  const fs::path folder = make("held");
  with_directory_chain(folder, [&](const DirectoryChain& chain) {
    EXPECT_EQ(chain.path(), folder);
    // Renaming the folder away does not move what the chain refers to.
    fs::rename(folder, temp_.path() / "moved");
    OpenedFile file = open_private_file_at(chain, "inside", FileAccess::write, Disposition::create_new, file_flag_none);
    EXPECT_TRUE(file);
  });
  EXPECT_TRUE(fs::exists(temp_.path() / "moved" / "inside"));
}

TEST_F(PrivateFolder, OpensOnlyPrivateSingleLinkFiles) {
  const fs::path folder = make("files");
  OpenedFile created = open_private_file(folder / "new", FileAccess::write, share_none, Disposition::create_new,
                                         file_flag_none, true);
  ASSERT_TRUE(created);
  EXPECT_EQ(mode_of(folder / "new"), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(outcome([&] { verify_private_handle(created.file, false); }), "ok");
  OpenedFile program = open_private_file(folder / "program", FileAccess::write, share_none, Disposition::open_always,
                                         file_flag_executable, true);
  ASSERT_TRUE(program);
  EXPECT_EQ(mode_of(folder / "program"), fs::perms::owner_all);

  OpenedFile again = open_private_file(folder / "new", FileAccess::read, share_read, Disposition::create_new,
                                       file_flag_none, true);
  EXPECT_FALSE(again);
  EXPECT_EQ(again.error, static_cast<int>(std::errc::file_exists));
  OpenedFile missing = open_private_file(folder / "missing", FileAccess::read, share_read,
                                         Disposition::open_existing, file_flag_none, true);
  EXPECT_FALSE(missing);
  EXPECT_EQ(missing.error, static_cast<int>(std::errc::no_such_file_or_directory));

  fs::copy_file(folder / "program", folder / "shared");
  fs::permissions(folder / "shared", fs::perms::group_read, fs::perm_options::add);
  fs::create_symlink(folder / "program", folder / "file-link");
  ASSERT_EQ(run_quiet("mkfifo " + quoted(folder / "fifo")), 0);
  const auto open_existing = [&](const char* name) {
    return outcome([&] {
      open_private_file(folder / name, FileAccess::read_write, share_none, Disposition::open_existing,
                        file_flag_none, true);
    });
  };
  EXPECT_EQ(open_existing("shared"), "permissions: Windows directory permissions are not private");
  EXPECT_EQ(open_existing("fifo"), "unsafe_path: " + not_ordinary);
  EXPECT_EQ(outcome([&] {
              EXPECT_FALSE(open_private_file(folder / "file-link", FileAccess::read, share_none,
                                             Disposition::open_existing, file_flag_none, true));
            }),
            "ok");
}

TEST_F(PrivateFolder, OwnedFilesNeverOpenALink) {
  const fs::path folder = make("owned");
  fs::create_symlink(folder / "target", folder / "link");
  OpenedFile file = open_owned_file(folder / "link", FileAccess::write, share_none, Disposition::open_always,
                                    file_flag_none);
  EXPECT_FALSE(file);
  EXPECT_EQ(file.error, static_cast<int>(std::errc::too_many_symbolic_link_levels));
  EXPECT_FALSE(fs::exists(folder / "target"));
}

TEST_F(PrivateFolder, DestinationIdentityIgnoresTheRouteTaken) {
  const fs::path folder = make("identity");
  fs::create_directories(folder / "real" / "sub");
  tovra::testing::write_file(folder / "real" / "file", "x");
  const std::string base = destination_identity(folder / "real", true);
  EXPECT_NE(base.find(':'), std::string::npos);
  EXPECT_EQ(destination_identity(folder / "real" / "New" / "Sub", true), base + "/New/Sub");
  EXPECT_EQ(destination_identity(folder / "real" / "." / "sub/", true), base + "/sub");
  EXPECT_NE(destination_identity(folder / "real" / "sub", true), destination_identity(folder / "real" / "Sub", true));
  EXPECT_EQ(destination_identity(folder / "real" / "file", false), base + "/file");
  EXPECT_EQ(outcome([&] { destination_identity(folder / "real" / "file", true); }),
            "unsafe_path: Windows path ancestry requires ordinary directories");
  fs::create_directory_symlink(folder / "real", folder / "link");
  EXPECT_EQ(outcome([&] { destination_identity(folder / "link" / "sub", true); }), "unsafe_path: " + not_ordinary);

  fs::create_directory(folder / "bound");
  if (run_quiet("mount --bind " + quoted(folder / "real") + " " + quoted(folder / "bound")) != 0)
    GTEST_SKIP() << "bind mounts are not available";
  const tovra::testing::Unmount unmount{folder / "bound"};
  EXPECT_EQ(destination_identity(folder / "bound", true), base);
  EXPECT_EQ(destination_identity(folder / "bound" / "sub" / "x", true), base + "/sub/x");
  // A quarantine in the temporary folder needs a rename, which crosses no mount of one device.
  if (temporary_folder_on_volume_of(folder / "real" / "data") == fs::path("/tmp")) {
    EXPECT_EQ(temporary_folder_on_volume_of(folder / "bound" / "data"), std::nullopt);
  }
}

}  // namespace
}  // namespace tovra::windows_security
