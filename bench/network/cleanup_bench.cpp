// One bounded stale-adapter cleanup through the real device layer, beside
// the bare walk on the caller's thread and the bare cost of starting and
// joining one thread: what the worker adds over the walk is its overhead.
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "bench/bench_timing.hpp"
#include "platform/win32/system.hpp"
#include "tun_adapter/adapter_cleanup.hpp"

int main() {
  auto& devices = vorn::platform::win32_devices();
  const auto first = vorn::run_adapter_cleanup_bounded(devices, vorn::ADAPTER_CLEANUP_LIMIT);
  if (!first) {
    std::printf("cleanup failed: %s\n", first.error().full().c_str());
    return 1;
  }
  std::printf("cleanup result: %zu messages\n", first->size());

  const auto bounded = [&] {
    vorn::bench::keep(vorn::run_adapter_cleanup_bounded(devices, vorn::ADAPTER_CLEANUP_LIMIT));
    // The worker clears the flag before it sends; let it end before the next
    // round so that no round meets the "still running" refusal.
    while (vorn::ADAPTER_CLEANUP_BUSY.load()) std::this_thread::yield();
  };
  const auto walk = [&] { vorn::bench::keep(vorn::remove_stale_own_adapters(devices)); };
  const auto thread = [] { std::thread([] {}).join(); };
  constexpr std::size_t ROUNDS = 201;
  const auto m = vorn::bench::median_seconds({bounded, walk, thread}, ROUNDS);
  std::printf("\n%-44s %10s\n", "median of 201, interleaved", "us");
  std::printf("%-44s %10.1f\n", "run_adapter_cleanup_bounded (worker + walk)", m[0] * 1e6);
  std::printf("%-44s %10.1f\n", "remove_stale_own_adapters (walk only)", m[1] * 1e6);
  std::printf("%-44s %10.1f\n", "baseline: start and join one thread", m[2] * 1e6);
  std::printf("%-44s %10.1f\n", "worker overhead (bounded - walk)", (m[0] - m[1]) * 1e6);
  return 0;
}
