// Holds a mutex from a second thread while the object lives. A call under
// test that only tries the lock then finds it busy without the test thread
// owning it: trying a std::mutex on the thread that already holds it is
// undefined.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace vorn::testing {

class LockHeldElsewhere {
 public:
  explicit LockHeldElsewhere(std::mutex& lock) : holder_([this, &lock] { hold(lock); }) {
    std::unique_lock wait(sync_);
    changed_.wait(wait, [this] { return taken_; });
  }

  ~LockHeldElsewhere() {
    {
      std::lock_guard guard(sync_);
      released_ = true;
    }
    changed_.notify_all();
    holder_.join();
  }

  LockHeldElsewhere(const LockHeldElsewhere&) = delete;
  LockHeldElsewhere& operator=(const LockHeldElsewhere&) = delete;

 private:
  void hold(std::mutex& lock) {
    std::lock_guard held(lock);
    std::unique_lock wait(sync_);
    taken_ = true;
    changed_.notify_all();
    changed_.wait(wait, [this] { return released_; });
  }

  std::mutex sync_;
  std::condition_variable changed_;
  bool taken_ = false;
  bool released_ = false;
  std::thread holder_;  // last: it starts once the members above exist
};

}  // namespace vorn::testing
