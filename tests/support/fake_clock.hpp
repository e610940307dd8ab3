// Virtual time for the waits of the core lifecycle: sleeping advances the
// clock at once, after a real millisecond, so that threads the waiter waits
// for (output pumps) get to run while seconds of virtual time pass.
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
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    advance(duration);
  }
  void advance(std::chrono::nanoseconds by) { ticks_.fetch_add(by.count()); }

  std::atomic<int> sleeps{0};

 private:
  // Starts well away from zero so that "before the start" is representable.
  std::atomic<std::int64_t> ticks_{std::chrono::nanoseconds(std::chrono::hours(1)).count()};
};

}  // namespace vorn::testing
