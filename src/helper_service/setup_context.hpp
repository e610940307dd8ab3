// What the setup modes run against: the platform, a clock they can be given,
// and the engine step that proves owned state cleaned up.
#pragma once

#include <chrono>
#include <functional>

#include "platform/platform.hpp"
#include "support/error.hpp"

namespace vorn {

// The monotonic clock and the sleep of the setup waits, so that tests of the
// budgets never really wait.
struct SetupClock {
  using time_point = std::chrono::steady_clock::time_point;
  std::function<time_point()> now;
  std::function<void(std::chrono::nanoseconds)> sleep;
};

SetupClock system_setup_clock();

struct SetupContext {
  platform::Platform& platform;
  SetupClock clock;
  // Builds a fresh engine, cleans up what earlier runs left and requires the
  // engine to confirm it.
  std::function<Status(platform::Platform&)> clean_owned;
};

}  // namespace vorn
