// Virtual time for the waits of the core lifecycle: sleeping advances the
// clock at once (after a real yield, so that other threads get to run).
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "support/clock.hpp"

namespace vorn::testing {

class FakeClock final : public Clock {
 public:
  std::chrono::steady_clock::time_point now() override {
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ticks_.load()));
  }
  void sleep(std::chrono::milliseconds duration) override {
    sleeps.fetch_add(1);
    std::this_thread::yield();
    advance(duration);
  }
  void advance(std::chrono::nanoseconds by) { ticks_.fetch_add(by.count()); }

  std::atomic<int> sleeps{0};

 private:
  // Starts well away from zero so that "before the start" is representable.
  std::atomic<std::int64_t> ticks_{std::chrono::nanoseconds(std::chrono::hours(1)).count()};
};

}  // namespace vorn::testing
