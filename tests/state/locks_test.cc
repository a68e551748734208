// Setup, operation and native locks: busy at once, waits, and shared holders.

#include "locks_fixture.h"

namespace tovra {
namespace {

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

}  // namespace
}  // namespace tovra
