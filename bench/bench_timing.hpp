// The timing both benchmark programs share: the median of repeated runs, with
// the compared operations interleaved so that drift of the machine's clock
// speed affects both alike.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>
#include <vector>

namespace vorn::bench {

// Median seconds per call of each operation over `rounds` interleaved rounds.
inline std::vector<double> median_seconds(const std::vector<std::function<void()>>& ops, std::size_t rounds) {
  std::vector<std::vector<double>> samples(ops.size());
  for (std::size_t r = 0; r < rounds; ++r) {
    for (std::size_t i = 0; i < ops.size(); ++i) {
      const auto start = std::chrono::steady_clock::now();
      ops[i]();
      samples[i].push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
  }
  std::vector<double> medians;
  for (auto& s : samples) {
    std::ranges::nth_element(s, s.begin() + static_cast<std::ptrdiff_t>(s.size() / 2));
    medians.push_back(s[s.size() / 2]);
  }
  return medians;
}

// Keeps a computed value alive so the optimiser cannot drop its computation.
template <class T>
inline void keep(const T& value) {
  asm volatile("" : : "g"(&value) : "memory");
}

}  // namespace vorn::bench
