// The two address ranges of the TUN adapter. Each text is the adapter's own
// host address with the prefix length, not the network address. Index 0 is the
// default; after an address conflict the engine moves to the other one.
#pragma once

#include <array>
#include <string_view>

namespace vorn {

struct TunAddressRange {
  std::string_view ipv4;
  std::string_view ipv6;
};

inline constexpr std::array<TunAddressRange, 2> TUN_ADDRESS_RANGES = {{
    {"10.86.111.1/30", "fd56:6f72:6e00::1/126"},
    {"10.181.229.1/30", "fd56:6f72:6e01::1/126"},
}};

}  // namespace vorn
