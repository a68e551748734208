// The data folder's POSIX rules: its name, its depth, its unfinished markers, and the lock files the
// backend refuses for group access, links or content. (Whose file it may be is the private
// storage's rule, proven there.)
#include <functional>
#include <tuple>

#include "locks_fixture.h"

namespace tovra {
namespace {

TEST_F(LocksTest, RefusesLockFilesThatAreNotOrdinaryEmptyPrivateFiles) {
  const std::string not_plain = "lock_failed: Native ownership requires an ordinary empty private file";
  const auto file = [&](const std::string& name, const std::string& content) {
    const fs::path path = root_ / name;
    testing::write_file(path, content);
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    return path;
  };
  const fs::path full = file("full.lock", "x");
  const fs::path linked = file("linked.lock", "");
  fs::create_hard_link(linked, root_ / "second-name");
  const fs::path shared = file("group.lock", "");
  fs::permissions(shared, fs::perms::group_read, fs::perm_options::add);
  fs::create_directory(root_ / "folder.lock");
  fs::create_symlink(root_ / "native", root_ / "linked-folder");
  fs::create_symlink(file("target.lock", ""), root_ / "symlink.lock");

  const std::tuple<fs::path, bool, std::string> cases[] = {
      {full, true, not_plain},
      {linked, true, not_plain},
      {shared, true, not_plain},
      {root_ / "folder.lock", true, not_plain},
      {root_ / "linked-folder" / "x.lock", true,
       "lock_failed: Native ownership requires ordinary existing parents"},
      {root_ / "symlink.lock", true, "lock_failed: Cannot open ordinary private native ownership"},
      {root_ / "absent.lock", false, "lock_failed: Cannot open ordinary private native ownership"},
      {fs::path(), true, "lock_failed: Native ownership requires a bounded lock path and known sharing"},
      {root_ / std::string(4100, 'a'), true,
       "lock_failed: Native ownership requires a bounded lock path and known sharing"},
  };
  for (const auto& [path, create, expected] : cases) {
    EXPECT_EQ(outcome([&] { NativeFileLock::acquire(path, create, false, false); }), expected)
        << path;
  }
  EXPECT_EQ(testing::read_file(full), "x");
  EXPECT_TRUE(setup_lock(layout_).held());
  EXPECT_EQ(fs::status(layout_.setup_lock).permissions() & fs::perms::mask, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_FALSE(fs::exists(root_ / "absent.lock"));
}

TEST(NormalizeDataRoot, RefusesRootsLinksTrailingSeparatorsAndBadText) {
  testing::TempDir dir;
  for (const std::string& text : {std::string("/"), (dir / "data/").string(), (dir / "data/sub/..").string()})
    EXPECT_PROBLEM(normalize_data_root(text), "unsafe_path", "The data folder cannot be a filesystem root");
  for (const std::string& text : {std::string(), "/" + std::string(4096, 'a'), std::string("/a\0b", 4)})
    EXPECT_PROBLEM(normalize_data_root(text), "unsafe_path", "Choose a data folder");
  EXPECT_EQ(normalize_data_root(dir / "data"), dir / "data");  // missing is fine
  // A relative folder is taken from the current directory.
  const auto saved = fs::current_path();
  fs::current_path(dir.path());
  const auto round_trip = normalize_data_root("work/../data");
  fs::current_path(saved);
  EXPECT_EQ(round_trip, dir / "data");
  // Only the folder itself must not be a link.
  fs::create_directory(dir / "real");
  fs::create_directory_symlink(dir / "real", dir / "linked");
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  for (const char* name : {"linked", "dangling"})
    EXPECT_PROBLEM(normalize_data_root(dir / name), "unsafe_path", "The data folder cannot be a symbolic link");
  EXPECT_EQ(normalize_data_root(dir / "linked/data"), dir / "linked/data");
}

TEST(RequireShortPaths, CountsUtf16UnitsAgainstTheWindowsLimit) {
  const std::string base160 = "/" + std::string(159, 'b');
  EXPECT_PROBLEM(require_short_paths("/data/x/../root", base160, 100), "path_too_long",
                 "The folder /data/root is too deep for Windows: files below it would need paths of up to 269 "
                 "characters, and Windows allows 259. Choose a folder with a shorter path, such as C:\\Games.");
  EXPECT_NO_THROW(require_short_paths("/d", base160, 90));  // exactly 259
  EXPECT_PROBLEM_CODE(require_short_paths("/d", base160, 91), "path_too_long");
  // A character outside the basic plane is two units, however many bytes it has.
  const std::string emoji = "\xf0\x9f\x98\x80";
  EXPECT_NO_THROW(require_short_paths("/d", "/" + std::string(157, 'b') + emoji, 90));
  EXPECT_THROW(require_short_paths("/d", "/" + std::string(158, 'b') + emoji, 90), Error);
  EXPECT_NO_THROW(require_short_paths("/d", "/x/.." + base160, 90));  // measured after normalising
  EXPECT_THROW(require_short_paths("/d", base160, UINT64_MAX), Error);
}

TEST(RequireSetupFinished, AnyEntryNamedLikeTheMarkerCounts) {
  testing::TempDir dir;
  EXPECT_NO_THROW(require_setup_finished(dir.path()));
  const auto marker = dir / ".tovra-setup-incomplete";
  const std::string message =
      "Tovra setup did not finish in " + dir.path().string() + ". Run the Tovra installer again to repair it.";
  for (const std::function<void()>& make : std::initializer_list<std::function<void()>>{
           [&] { testing::write_file(marker, "{}"); }, [&] { fs::create_directory(marker); },
           [&] { fs::create_symlink(dir / "nowhere", marker); }}) {
    make();
    EXPECT_PROBLEM(require_setup_finished(dir.path()), "native_install_incomplete", message);
    fs::remove(marker);
  }
}

TEST(RequireFinishedImage, ChecksEveryAncestorUpTo256Folders) {
  testing::TempDir dir;
  fs::create_directories(dir / "setup/bin/deep");
  const auto executable = dir / "setup/bin/deep/tovra-install";
  EXPECT_NO_THROW(require_finished_image(executable));

  testing::write_file(dir / "setup/.tovra-setup-incomplete", "{}");
  EXPECT_PROBLEM_CODE(require_finished_image(executable), "native_install_incomplete");
  EXPECT_NO_THROW(require_finished_image(dir / "elsewhere/tovra-install"));
  fs::remove(dir / "setup/.tovra-setup-incomplete");

  for (const auto marker : kUnfinishedPackageMarkerNames) {
    testing::write_file(dir / "setup/bin" / marker, "");
    EXPECT_PROBLEM(require_finished_image(executable), "native_install_incomplete",
                   "This image belongs to an unfinished package; it cannot start");
    fs::remove(dir / "setup/bin" / marker);
  }

  fs::path folder = "/";
  for (int i = 0; i < 256; ++i) folder /= "d";
  EXPECT_NO_THROW(require_finished_image(folder / "tovra-install"));
  EXPECT_PROBLEM(require_finished_image(folder / "d/tovra-install"), "unsafe_path", "Native image path is too deep");
}

}  // namespace
}  // namespace tovra
