#include "support/uuid.hpp"

#include "support/hex.hpp"

namespace vorn {

std::string Uuid::simple() const { return to_hex(bytes); }

std::string Uuid::hyphenated() const {
  const std::string hex = simple();
  return hex.substr(0, 8) + '-' + hex.substr(8, 4) + '-' + hex.substr(12, 4) + '-' + hex.substr(16, 4) + '-' + hex.substr(20);
}

Uuid uuid_from_random_bytes(std::array<std::uint8_t, 16> bytes) {
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
  return Uuid{bytes};
}

Result<Uuid> new_uuid_v4(platform::Random& random) {
  std::array<std::uint8_t, 16> bytes{};
  if (auto filled = random.fill(bytes); !filled) return fail(filled.error().context("random source failed"));
  return uuid_from_random_bytes(bytes);
}

}  // namespace vorn
