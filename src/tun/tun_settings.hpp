// The three values the system takes from the client's first TUN inbound.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/json.hpp"

namespace vorn {

inline constexpr std::array<std::string_view, 3> ALLOWED_TUN_STACKS = {"mixed", "system", "gvisor"};
inline constexpr std::string_view DEFAULT_TUN_STACK = "system";
inline constexpr std::array<std::uint32_t, 5> ALLOWED_TUN_MTUS = {1280, 1380, 1420, 1500, 9000};
inline constexpr std::uint32_t DEFAULT_TUN_MTU = 9000;

struct TunSettings {
  std::string stack{DEFAULT_TUN_STACK};
  // Canonical prefixes, unique, at most MAX_ROUTE_EXCLUDES.
  std::vector<std::string> route_exclude_address;
  std::uint32_t mtu = DEFAULT_TUN_MTU;

  friend bool operator==(const TunSettings&, const TunSettings&) = default;
};

// Reads the first inbound whose "type" is "tun"; a value it cannot use falls
// back to its default, so this never fails.
TunSettings read_tun_settings(const Json& root);

}  // namespace vorn
