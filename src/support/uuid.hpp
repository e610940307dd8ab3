// Version-4 UUIDs formed from 16 random bytes.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/random.hpp"
#include "support/error.hpp"

namespace vorn {

struct Uuid {
  std::array<std::uint8_t, 16> bytes{};

  // 8-4-4-4-12 lower-case hex digits.
  std::string hyphenated() const;
  // 32 lower-case hex digits.
  std::string simple() const;
};

// Sets the version (4) and variant (10xx) bits of the random bytes.
Uuid uuid_from_random_bytes(std::array<std::uint8_t, 16> bytes);

Result<Uuid> new_uuid_v4(platform::Random& random);

}  // namespace vorn
