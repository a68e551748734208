#pragma once
// Locks held by another holder, on a data folder with its native folder.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
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
using testing::TempDir;

inline long elapsed_ms(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count());
}

// Locks the holder takes stay held until it lets go: they are parked here.
inline NativeFileLock child_native;
inline OperationLock child_operation;

// Another holder that takes a lock with `take`, reports that it holds it, and keeps it until
// released (or for `hold` when given). Locks belong to the open file, not to the process, so a
// thread of this process is as much another holder as a second process.
class Holder {
 public:
  Holder(const std::function<void()>& take, milliseconds hold = milliseconds(0)) {
    std::promise<bool> ready;
    std::future<bool> taken = ready.get_future();
    thread_ = std::thread([this, take, hold, ready = std::move(ready)]() mutable {
      bool ok = true;
      try {
        take();  // the lock object lives in one of the parked locks below
      } catch (...) {
        ok = false;
      }
      ready.set_value(ok);
      std::unique_lock lock(mutex_);
      if (hold.count() > 0) {
        released_changed_.wait_for(lock, hold, [&] { return released_; });
      } else {
        released_changed_.wait(lock, [&] { return released_; });
      }
      child_native.release();
      child_operation.release();
    });
    held_ = taken.get();
  }
  ~Holder() { release(); }
  bool held() const { return held_; }
  void release() {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
    }
    released_changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_changed_;
  bool released_ = false;
  bool held_ = false;
  std::thread thread_;
};

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

}  // namespace tovra
