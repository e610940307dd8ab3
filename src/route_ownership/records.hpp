// What the status report says about the running TUN adapter and the LAN
// subnets that stay outside the tunnel.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn {

// One private subnet that an eligible LAN interface reaches on-link, found
// before the launch.
struct BaselineBypass {
  std::string prefix;
  std::uint64_t wan_luid = 0;
  std::uint32_t wan_index = 0;
  bool v6 = false;
  std::vector<std::string> addresses;

  friend bool operator==(const BaselineBypass&, const BaselineBypass&) = default;
};

// The running TUN adapter as the network stack shows it.
struct TunRouteIdentity {
  std::string name;
  std::uint64_t luid = 0;
  std::uint64_t range = 0;
  std::uint32_t ipv4_index = 0;
  std::uint32_t ipv6_index = 0;
  std::vector<std::string> exclusions;
  std::vector<BaselineBypass> baseline_bypass;

  friend bool operator==(const TunRouteIdentity&, const TunRouteIdentity&) = default;
};

}  // namespace vorn
