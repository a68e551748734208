#pragma once
// Locks held by another holder, on a data folder with its native folder.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "core/test_util.h"
#include "platform/storage.h"
#include "state/data_root.h"
#include "state/locks.h"
#include "support/temp_dir.h"

namespace tovra {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testing::outcome;

inline long elapsed_ms(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count());
}

// The quickest of three runs of `attempt`, in ms: a refusal that waits is slow every time, while a
// busy machine's pause seldom hits all three.
template <class Attempt>
long quickest_of_three(const Attempt& attempt) {
  long quickest = 0;
  for (int run = 0; run < 3; ++run) {
    const auto start = Clock::now();
    attempt();
    quickest = run == 0 ? elapsed_ms(start) : std::min(quickest, elapsed_ms(start));
  }
  return quickest;
}

// Locks belong to the open file, not to the process: a lock the test itself holds is another
// holder's to the code under test. The holder lets go of `lock` after `delay`.
template <class Lock>
std::jthread release_after(Lock& lock, milliseconds delay) {
  return std::jthread([&lock, delay] {
    std::this_thread::sleep_for(delay);
    lock.release();
  });
}

class LocksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = temp_ / "data";
    windows_security::ensure_private_directory(root_ / "native");
    layout_ = data_root_layout(root_);
  }
  NativeFileLock hold_native(const fs::path& path, bool shared = false) {
    return NativeFileLock::acquire(path, true, false, shared);
  }
  // A poll that stands for Ctrl+C pressed during the third one.
  std::function<void()> cancel_on_third(int& polls) {
    return [&polls] {
      if (++polls == 3) throw Error("cancelled", "Setup was cancelled");
    };
  }

  testing::TempDir temp_;
  fs::path root_;
  DataRootLayout layout_;
};

}  // namespace tovra
