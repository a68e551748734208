// Setup, operation and native locks: busy at once, waits, and shared holders.

#include "locks_fixture.h"

namespace tovra {
namespace {

const std::string kBusy = "busy: Another worker owns this native installation";
const std::string kRunning =
    "tovra_running: Tovra or a game from this folder is still running; close it and try again";

TEST_F(LocksTest, LocksHeldElsewhereAreBusyAtOnceAndSharedHoldersCoexist) {
  NativeFileLock other = setup_lock(layout_);
  EXPECT_LT(quickest_of_three([&] { EXPECT_EQ(outcome([&] { setup_lock(layout_); }), kBusy); }), 100);
  other.release();
  EXPECT_TRUE(setup_lock(layout_).held());

  const fs::path path = root_ / "shared.lock";
  NativeFileLock reader = hold_native(path, true);
  EXPECT_TRUE(hold_native(path, true).held());
  EXPECT_EQ(outcome([&] { hold_native(path); }), kBusy);
}

TEST_F(LocksTest, WaitUntilIdleFailsAtOnceAtItsDeadlineOrWhenCancelled) {
  NativeFileLock platform = hold_native(layout_.bootstrap_lock);
  int polls = 0;
  const auto poll = [&] { ++polls; };
  const auto fail_at_once = [&] {
    EXPECT_EQ(outcome([&] { wait_until_idle(layout_, milliseconds(0), poll); }), kRunning);
  };
  EXPECT_LT(quickest_of_three(fail_at_once), 100);
  EXPECT_EQ(polls, 0);  // install and repair fail at once, without a poll

  const auto start = Clock::now();
  EXPECT_EQ(outcome([&] { wait_until_idle(layout_, milliseconds(350), poll); }), kRunning);
  EXPECT_GE(elapsed_ms(start), 350);
  // One check per 100 ms step, none when the first attempt alone outlasts the deadline (a loaded
  // machine); that the wait checks at all is shown by the cancellation below.
  EXPECT_LE(polls, 5);

  polls = 0;
  EXPECT_EQ(outcome([&] { wait_until_idle(layout_, milliseconds(10000), cancel_on_third(polls)); }),
            "cancelled: Setup was cancelled");
  EXPECT_EQ(polls, 3);
}

TEST_F(LocksTest, WaitUntilIdleWaitsForThePlatformAndEveryVersionLease) {
  const fs::path versions = layout_.launcher / "leases" / "versions";
  windows_security::ensure_private_directory(versions);
  const fs::path idle = versions / "launcher-1";
  const fs::path game = versions / "game-2";
  { OperationLock created = operation_lock(idle, false, false); }
  {
    OperationLock running_game = operation_lock(game, false, false);
    EXPECT_EQ(outcome([&] { wait_until_idle(layout_, milliseconds(250), {}); }), kRunning);
    // The lease was released when the wait gave up, and no probe stays held.
    EXPECT_TRUE(hold_native(layout_.bootstrap_lock).held());
    EXPECT_TRUE(operation_lock(idle, false, false).held());
  }

  NativeFileLock platform = hold_native(layout_.bootstrap_lock);
  OperationLock ending_game = operation_lock(game, false, false);
  const std::jthread platform_ends = release_after(platform, milliseconds(150));
  const std::jthread game_ends = release_after(ending_game, milliseconds(300));
  int polls = 0;
  const auto start = Clock::now();
  NativeFileLock lease = wait_until_idle(layout_, milliseconds(5000), [&] { ++polls; });
  EXPECT_TRUE(lease.held());
  EXPECT_GE(elapsed_ms(start), 200);
  EXPECT_GE(polls, 1);
  EXPECT_LE(polls, 5);
  EXPECT_TRUE(operation_lock(game, false, false).held());  // the probe was released at once
  // The lease excludes the platform from now on.
  EXPECT_EQ(outcome([&] { hold_native(layout_.bootstrap_lock, true); }), kBusy);
}

TEST_F(LocksTest, OperationLockFailsAtOnceOrWaitsForTheHolder) {
  const fs::path path = root_ / "launcher" / "bootstrap.lock";
  OperationLock other = operation_lock(path, false, false);
  EXPECT_EQ(outcome([&] { operation_lock(path, false, false); }),
            "busy: Another Tovra operation is using this state");

  // The ledger lock is waited for without a deadline, but Ctrl+C still ends the wait.
  OperationLock stuck = shortcut_lock(root_);
  int polls = 0;
  EXPECT_EQ(outcome([&] { shortcut_lock(root_, cancel_on_third(polls)); }),
            "cancelled: Setup was cancelled");
  EXPECT_EQ(polls, 3);

  const std::jthread stuck_ends = release_after(stuck, milliseconds(250));
  const auto start = Clock::now();
  EXPECT_TRUE(shortcut_lock(root_).held());
  EXPECT_GE(elapsed_ms(start), 150);
  EXPECT_TRUE(fs::is_regular_file(root_ / "native" / "shortcuts.lock"));
}

}  // namespace
}  // namespace tovra
