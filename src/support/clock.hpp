// The monotonic clock and sleeping, behind one seam so that the waits of the
// core lifecycle (seconds long) run in virtual time in unit tests.
#pragma once

#include <chrono>
#include <cstdint>

namespace vorn {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::chrono::steady_clock::time_point now() = 0;
  virtual void sleep(std::chrono::milliseconds duration) = 0;

  // Whole milliseconds since `start`, truncated; 0 when `start` lies ahead.
  std::uint64_t elapsed_ms(std::chrono::steady_clock::time_point start) {
    const auto elapsed = now() - start;
    if (elapsed.count() < 0) return 0;
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
  }
};

// std::chrono::steady_clock and std::this_thread::sleep_for.
Clock& system_clock();

}  // namespace vorn
