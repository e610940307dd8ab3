// The baseline bypass: the private subnets that the machine's LAN interfaces
// reach on-link, read from the network stack before a core is launched. It is
// all or nothing: any doubt (an error, a table beyond its limit, a table that
// changes while it is read) gives the empty list, never a partial one.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ip_helper.hpp"
#include "route_ownership/records.hpp"
#include "support/error.hpp"

namespace vorn {

inline constexpr std::size_t MAX_ROUTE_ROWS = 4096;
inline constexpr std::size_t MAX_BASELINE_BYPASS = 256;
inline constexpr std::size_t MAX_UNICAST_ROWS = 16384;

// Local to every interface: an interface whose other routes all fall inside
// its own prefixes or these is a host-only virtual adapter, not a gateway.
inline constexpr std::array<std::string_view, 10> SPECIAL_PURPOSE_PREFIXES = {
    "0.0.0.0/8", "127.0.0.0/8", "224.0.0.0/4", "240.0.0.0/4", "255.255.255.255/32",
    "::/96",     "::/128",      "::1/128",     "fe80::/10",   "ff00::/8",
};

// One forward-table row with its interface's alias and the interface metric
// of its family already added in.
struct RouteRow {
  std::string alias;  // empty when it cannot be read
  std::uint32_t if_index = 0;
  std::uint32_t metric = 0;
  platform::IpAddress destination;
  platform::IpAddress next_hop;  // unspecified: on-link
  std::uint8_t prefix_len = 0;
};

struct WanInterface {
  std::uint64_t luid = 0;
  std::vector<std::string> addresses;  // "{address}/{on-link length}", sorted, unique
};

struct InterfaceRoute {
  platform::IpAddress destination;
  std::uint8_t prefix_len = 0;
  platform::IpAddress next_hop;
};

struct IpPrefix {
  unsigned __int128 network = 0;  // host bits cleared; IPv4 in the low 32 bits
  std::uint8_t prefix_len = 0;
  platform::AddressFamily family = platform::AddressFamily::V4;

  friend bool operator==(const IpPrefix&, const IpPrefix&) = default;
};

std::vector<BaselineBypass> snapshot_baseline_bypass(platform::IpHelper& ip);

// The forward table in the system's order; the alias and metric of each
// interface and family are asked once per call.
Result<std::vector<RouteRow>> snapshot_route_table(platform::IpHelper& ip);

std::optional<WanInterface> describe_wan_interface(platform::IpHelper& ip, std::uint32_t if_index, bool v6,
                                                   const std::vector<RouteRow>& rows);

bool bypass_entry_changed(platform::IpHelper& ip, const BaselineBypass& entry, const std::vector<RouteRow>& rows);

std::optional<IpPrefix> match_private_onlink_prefix(const platform::IpAddress& destination, std::uint8_t prefix_len,
                                                    const platform::IpAddress& next_hop,
                                                    const std::vector<std::string>& addresses);

std::vector<InterfaceRoute> rows_for_interface(const std::vector<RouteRow>& rows, std::uint32_t if_index, bool v6);

bool routes_only_local(const std::vector<InterfaceRoute>& routes, const std::vector<std::string>& addresses);

bool prefix_covered(const IpPrefix& prefix, const std::vector<IpPrefix>& candidates);

// "{address}/{length}" with no white space; the length takes one optional
// "+" and decimal digits.
std::optional<IpPrefix> parse_cidr(std::string_view text);
std::vector<IpPrefix> parse_cidr_list(const std::vector<std::string>& texts);

bool route_rows_equal(const std::vector<RouteRow>& a, const std::vector<RouteRow>& b);

// The address text of a stack address; nullopt for a family we do not route.
std::optional<std::string> format_stack_address(const platform::IpAddress& address);

}  // namespace vorn
