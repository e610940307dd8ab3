#pragma once

#include <chrono>
#include <cstdint>

namespace vorn {

// Whole milliseconds since `start` on the monotonic clock, truncated: the form
// of every duration in the log.
inline std::uint64_t elapsed_ms(std::chrono::steady_clock::time_point start) {
  const auto elapsed = std::chrono::steady_clock::now() - start;
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

}  // namespace vorn
