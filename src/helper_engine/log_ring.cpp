#include "helper_engine/log_ring.hpp"

#include <algorithm>
#include <limits>

namespace vorn {

void LogRing::push(std::string line) {
  lines.push_back(std::move(line));
  if (lines.size() > LOG_RING_MAX_LINES) {
    const std::size_t k = lines.size() - LOG_RING_KEEP_LINES;
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(k));
    dropped += k;
  }
}

LogsData LogRing::read(std::uint64_t since) const {
  const std::uint64_t n = lines.size();
  const std::uint64_t next = dropped + n;
  std::uint64_t start;
  if (since == std::numeric_limits<std::uint64_t>::max()) {
    start = n;
  } else if (since > next) {
    start = 0;
  } else {
    start = std::min(since >= dropped ? since - dropped : 0, n);
  }
  LogsData data;
  data.next = next;
  data.lines.assign(lines.begin() + static_cast<std::ptrdiff_t>(start), lines.end());
  return data;
}

}  // namespace vorn
