// Lock files the POSIX backend refuses: group access, links, content. (Whose file it may be is the
// private storage's rule, proven there.)

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

  const struct {
    fs::path path;
    bool create;
    std::string expected;
  } cases[] = {
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
  for (const auto& c : cases) {
    EXPECT_EQ(outcome([&] { NativeFileLock::acquire(c.path, c.create, false, false); }), c.expected)
        << c.path;
  }
  EXPECT_EQ(testing::read_file(full), "x");
  EXPECT_TRUE(setup_lock(layout_).held());
  EXPECT_EQ(fs::status(layout_.setup_lock).permissions() & fs::perms::mask, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_FALSE(fs::exists(root_ / "absent.lock"));
}

}  // namespace
}  // namespace tovra
