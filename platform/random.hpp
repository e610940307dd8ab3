// Random bytes for UUIDs.
#pragma once

#include <cstdint>
#include <span>

#include "support/error.hpp"

namespace vorn::platform {

class Random {
 public:
  virtual ~Random() = default;
  virtual Status fill(std::span<std::uint8_t> out) = 0;
};

}  // namespace vorn::platform
