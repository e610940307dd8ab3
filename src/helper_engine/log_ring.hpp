// The engine's bounded line log and its read cursor.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "helper_engine/records.hpp"

namespace vorn {

inline constexpr std::size_t LOG_RING_MAX_LINES = 3000;
inline constexpr std::size_t LOG_RING_KEEP_LINES = 2000;

// Every line ever pushed has a cursor: the number of lines pushed before it.
// The ring is trimmed in bulk so that a push costs constant time but for one
// push in 1001.
struct LogRing {
  std::deque<std::string> lines;
  std::uint64_t dropped = 0;

  void push(std::string line);

  // The lines from cursor `since` on, and the cursor of the next push. A
  // cursor from another engine (beyond the next one) reads everything held;
  // the largest value reads nothing and only learns the cursor.
  LogsData read(std::uint64_t since) const;
};

}  // namespace vorn
