// The system's random source: getrandom natively, ProcessPrng (or
// BCryptGenRandom where it is missing) on Windows.
#pragma once

#include "platform/random.hpp"

namespace vorn::platform {

Random& system_random();

}  // namespace vorn::platform
