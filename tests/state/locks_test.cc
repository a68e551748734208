#include "state/locks.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "core/test_util.h"
#include "platform/storage.h"
#include "state/data_root.h"
#include "support/temp_dir.h"

namespace tovra {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testing::outcome;
using testing::TempDir;

long elapsed_ms(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count());
}

// A second process that takes a lock with `take`, reports that it holds it, and keeps it until
// released (or for `hold` when given, then exits, which drops every lock it had).
class Holder {
 public:
  Holder(const std::function<void()>& take, milliseconds hold = milliseconds(0)) {
    int ready[2];
    int go[2];
    if (::pipe(ready) != 0 || ::pipe(go) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      ::close(go[1]);
      char status = '1';
      try {
        take();  // the lock object lives in the lambda's captures or a static below
      } catch (...) {
        status = '0';
      }
      if (::write(ready[1], &status, 1) != 1) ::_exit(3);
      if (hold.count() > 0) {
        std::this_thread::sleep_for(hold);
      } else {
        char ignored;
        (void)::read(go[0], &ignored, 1);
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(go[0]);
    release_fd_ = go[1];
    char status = '0';
    held_ = ::read(ready[0], &status, 1) == 1 && status == '1';
    ::close(ready[0]);
  }
  ~Holder() { release(); }
  bool held() const { return held_; }
  void release() {
    if (release_fd_ >= 0) ::close(release_fd_);
    release_fd_ = -1;
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int release_fd_ = -1;
  bool held_ = false;
};

// Locks taken in the child stay held until it exits: they are parked here.
NativeFileLock child_native;
OperationLock child_operation;

class LocksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = temp_ / "data";
    windows_security::ensure_private_directory(root_ / "native");
    layout_ = data_root_layout(root_);
  }
  void hold_native(const fs::path& path, bool shared = false) {
    child_native = NativeFileLock::acquire(path, true, false, shared);
  }
  void hold_lease(const fs::path& path) { child_operation = operation_lock(path, false, false); }

  TempDir temp_;
  fs::path root_;
  DataRootLayout layout_;
};

TEST_F(LocksTest, SetupLockHeldElsewhereIsBusyAtOnceAndFreeAfterwards) {
  Holder other([&] { child_native = setup_lock(layout_); });
  ASSERT_TRUE(other.held());
  const auto start = Clock::now();
  EXPECT_EQ(outcome([&] { setup_lock(layout_); }), "busy: Another worker owns this native installation");
  EXPECT_LT(elapsed_ms(start), 100);
  other.release();
  NativeFileLock mine = setup_lock(layout_);
  EXPECT_TRUE(mine.held());
  // The lock belongs to the open file, not the process: a second open in this process conflicts.
  EXPECT_EQ(outcome([&] { setup_lock(layout_); }), "busy: Another worker owns this native installation");
  mine.release();
  EXPECT_TRUE(setup_lock(layout_).held());
  EXPECT_EQ(fs::status(layout_.setup_lock).permissions() & fs::perms::mask, fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(LocksTest, SharedHoldersCoexistButExcludeAnExclusiveOne) {
  const fs::path path = root_ / "shared.lock";
  Holder reader([&] { hold_native(path, true); });
  ASSERT_TRUE(reader.held());
  EXPECT_TRUE(NativeFileLock::acquire(path, true, false, true).held());
  EXPECT_EQ(outcome([&] { NativeFileLock::acquire(path, true, false, false); }),
            "busy: Another worker owns this native installation");
}

TEST_F(LocksTest, WaitUntilIdleWaitsForTheBootstrapLockThenSucceeds) {
  Holder platform([&] { hold_native(layout_.bootstrap_lock); }, milliseconds(350));
  ASSERT_TRUE(platform.held());
  int polls = 0;
  const auto start = Clock::now();
  NativeFileLock lease = wait_until_idle(layout_, milliseconds(5000), [&] { ++polls; });
  EXPECT_TRUE(lease.held());
  EXPECT_GE(elapsed_ms(start), 250);
  EXPECT_GE(polls, 1);  // one check per 100 ms step, fewer when the machine is slow
  EXPECT_LE(polls, 5);
  // The lease excludes the platform from now on.
  EXPECT_EQ(outcome([&] { NativeFileLock::acquire(layout_.bootstrap_lock, true, false, true); }),
            "busy: Another worker owns this native installation");
}

TEST_F(LocksTest, WaitUntilIdleTimesOutOrIsCancelledWhileThePlatformRuns) {
  Holder platform([&] { hold_native(layout_.bootstrap_lock); });
  ASSERT_TRUE(platform.held());
  const std::string running = "tovra_running: Tovra or a game from this folder is still running; close it and try again";

  int polls = 0;
  auto start = Clock::now();
  EXPECT_EQ(outcome([&] { wait_until_idle(layout_, milliseconds(0), [&] { ++polls; }); }), running);
  EXPECT_EQ(polls, 0);  // install and repair fail at once, without a poll
  EXPECT_LT(elapsed_ms(start), 100);

  start = Clock::now();
  EXPECT_EQ(outcome([&] { wait_until_idle(layout_, milliseconds(350), [&] { ++polls; }); }), running);
  EXPECT_GE(elapsed_ms(start), 350);
  EXPECT_GE(polls, 1);
  EXPECT_LE(polls, 5);

  polls = 0;
  const auto cancel_on_third = [&] {
    if (++polls == 3) throw Error("cancelled", "Setup was cancelled");
  };
  EXPECT_EQ(outcome([&] { wait_until_idle(layout_, milliseconds(10000), cancel_on_third); }),
            "cancelled: Setup was cancelled");
  EXPECT_EQ(polls, 3);
}

TEST_F(LocksTest, WaitUntilIdleProbesEveryVersionLease) {
  const fs::path versions = layout_.launcher / "leases" / "versions";
  windows_security::ensure_private_directory(versions);
  const fs::path idle = versions / "launcher-1";
  const fs::path game = versions / "game-2";
  { OperationLock created = operation_lock(idle, false, false); }

  {
    Holder running_game([&] { hold_lease(game); });
    ASSERT_TRUE(running_game.held());
    EXPECT_EQ(outcome([&] { wait_until_idle(layout_, milliseconds(250), {}); }),
              "tovra_running: Tovra or a game from this folder is still running; close it and try again");
    // The lease was released when the wait gave up, and no probe stays held.
    EXPECT_TRUE(NativeFileLock::acquire(layout_.bootstrap_lock, false, false, false).held());
    EXPECT_TRUE(operation_lock(idle, false, false).held());
  }

  Holder ending_game([&] { hold_lease(game); }, milliseconds(300));
  ASSERT_TRUE(ending_game.held());
  int polls = 0;
  const auto start = Clock::now();
  NativeFileLock lease = wait_until_idle(layout_, milliseconds(5000), [&] { ++polls; });
  EXPECT_TRUE(lease.held());
  EXPECT_GE(elapsed_ms(start), 200);
  EXPECT_GE(polls, 1);
  EXPECT_TRUE(operation_lock(game, false, false).held());  // the probe was released at once
}

TEST_F(LocksTest, OperationLockFailsAtOnceOrWaitsForTheHolder) {
  const fs::path path = root_ / "launcher" / "bootstrap.lock";
  {
    Holder other([&] { hold_lease(path); });
    ASSERT_TRUE(other.held());
    EXPECT_EQ(outcome([&] { operation_lock(path, false, false); }),
              "busy: Another Tovra operation is using this state");
  }
  {
    // The ledger lock is waited for without a deadline, but Ctrl+C still ends the wait.
    Holder stuck([&] { child_operation = shortcut_lock(root_); });
    ASSERT_TRUE(stuck.held());
    int polls = 0;
    const auto cancel_on_third = [&] {
      if (++polls == 3) throw Error("cancelled", "Setup was cancelled");
    };
    EXPECT_EQ(outcome([&] { shortcut_lock(root_, cancel_on_third); }), "cancelled: Setup was cancelled");
    EXPECT_EQ(polls, 3);
  }
  Holder other([&] { child_operation = shortcut_lock(root_); }, milliseconds(250));
  ASSERT_TRUE(other.held());
  const auto start = Clock::now();
  OperationLock mine = shortcut_lock(root_);
  EXPECT_TRUE(mine.held());
  EXPECT_GE(elapsed_ms(start), 150);
  EXPECT_TRUE(fs::is_regular_file(root_ / "native" / "shortcuts.lock"));
}

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
  const fs::path foreign = file("foreign.lock", "");
  ASSERT_EQ(std::system(("chown 12345:12345 '" + foreign.string() + "'").c_str()), 0);
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
      {foreign, true, not_plain},
      {shared, true, not_plain},
      {root_ / "folder.lock", true, not_plain},
      {root_ / "linked-folder" / "x.lock", true,
       "lock_failed: Native ownership requires ordinary existing parents"},
      {root_ / "missing" / "x.lock", true, "lock_failed: Native ownership requires ordinary existing parents"},
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
  EXPECT_FALSE(fs::exists(root_ / "absent.lock"));
}

}  // namespace
}  // namespace tovra
