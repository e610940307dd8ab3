#include "route_ownership/bypass_snapshot.hpp"

#include <algorithm>
#include <limits>
#include <map>
#include <utility>

#include "support/text.hpp"
#include "tun/ip_address.hpp"

namespace vorn {
namespace {

using platform::AddressFamily;

constexpr std::uint32_t IF_OPER_STATUS_UP = 1;
constexpr std::uint32_t IF_TYPE_ETHERNET_CSMACD = 6;
constexpr std::uint32_t IF_TYPE_IEEE80211 = 71;
constexpr std::uint32_t DAD_STATE_PREFERRED = 4;

bool routable(AddressFamily family) { return family == AddressFamily::V4 || family == AddressFamily::V6; }

std::size_t address_size(AddressFamily family) { return family == AddressFamily::V6 ? 16 : 4; }

bool is_unspecified(const platform::IpAddress& address) {
  if (!routable(address.family)) return false;
  const std::size_t size = address_size(address.family);
  return std::all_of(address.bytes.begin(), address.bytes.begin() + static_cast<std::ptrdiff_t>(size),
                     [](std::uint8_t b) { return b == 0; });
}

bool is_on_link(const platform::IpAddress& destination, std::uint8_t prefix_len, const platform::IpAddress& next_hop) {
  return prefix_len != 0 && routable(destination.family) && next_hop.family == destination.family &&
         is_unspecified(next_hop);
}

bool is_private(const platform::IpAddress& address) {
  const auto& b = address.bytes;
  if (address.family == AddressFamily::V4)
    return b[0] == 10 || (b[0] == 169 && b[1] == 254) || (b[0] == 172 && b[1] >= 16 && b[1] <= 31) ||
           (b[0] == 192 && b[1] == 168);
  if (address.family == AddressFamily::V6) return b[0] == 0xfc || b[0] == 0xfd;
  return false;
}

std::optional<std::string> prefix_text(const platform::IpAddress& address, std::uint8_t prefix_len) {
  auto text = format_stack_address(address);
  if (!text) return std::nullopt;
  return *text + "/" + std::to_string(prefix_len);
}

unsigned __int128 host_mask(AddressFamily family, std::uint8_t prefix_len) {
  const unsigned bits = family == AddressFamily::V6 ? 128 : 32;
  const unsigned host_bits = bits - prefix_len;
  if (host_bits == 0) return 0;
  if (host_bits == 128) return ~static_cast<unsigned __int128>(0);
  return (static_cast<unsigned __int128>(1) << host_bits) - 1;
}

std::optional<std::uint8_t> parse_prefix_length(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  unsigned value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 255) return std::nullopt;
  }
  return static_cast<std::uint8_t>(value);
}

std::vector<IpPrefix> special_purpose_prefixes() {
  std::vector<IpPrefix> prefixes;
  for (const std::string_view text : SPECIAL_PURPOSE_PREFIXES)
    if (auto parsed = parse_cidr(text)) prefixes.push_back(*parsed);
  return prefixes;
}

using InterfaceKey = std::pair<std::uint32_t, bool>;  // (index, v6)

// The private on-link test with the search among the interface's own
// prefixes left to the caller, so that the snapshot parses each interface's
// address texts once rather than once per route.
template <class OwnsPrefix>
std::optional<IpPrefix> match_parsed_prefix(const platform::IpAddress& destination, std::uint8_t prefix_len,
                                            const platform::IpAddress& next_hop, OwnsPrefix owns) {
  if (!is_on_link(destination, prefix_len, next_hop) || !is_private(destination)) return std::nullopt;
  const auto text = prefix_text(destination, prefix_len);
  const std::optional<IpPrefix> route = text ? parse_cidr(*text) : std::nullopt;
  if (!route || !owns(*route)) return std::nullopt;
  return route;
}

struct Described {
  std::optional<WanInterface> wan;
  std::vector<IpPrefix> own_prefixes;  // the parsed address texts
};

}  // namespace

std::optional<std::string> format_stack_address(const platform::IpAddress& address) {
  if (address.family == AddressFamily::V4)
    return format_ip_address(Ipv4Address{{address.bytes[0], address.bytes[1], address.bytes[2], address.bytes[3]}});
  if (address.family == AddressFamily::V6) return format_ip_address(Ipv6Address{address.bytes});
  return std::nullopt;
}

std::optional<IpPrefix> parse_cidr(std::string_view text) {
  const std::size_t slash = text.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::optional<IpAddress> address = parse_ip_address(text.substr(0, slash));
  const std::optional<std::uint8_t> length = parse_prefix_length(text.substr(slash + 1));
  if (!address || !length) return std::nullopt;
  IpPrefix prefix;
  prefix.prefix_len = *length;
  if (const auto* v4 = std::get_if<Ipv4Address>(&*address)) {
    if (*length > 32) return std::nullopt;
    prefix.family = AddressFamily::V4;
    for (const std::uint8_t octet : v4->octets) prefix.network = (prefix.network << 8) | octet;
  } else {
    if (*length > 128) return std::nullopt;
    prefix.family = AddressFamily::V6;
    for (const std::uint8_t byte : std::get<Ipv6Address>(*address).bytes) prefix.network = (prefix.network << 8) | byte;
  }
  prefix.network &= ~host_mask(prefix.family, prefix.prefix_len);
  return prefix;
}

std::vector<IpPrefix> parse_cidr_list(const std::vector<std::string>& texts) {
  std::vector<IpPrefix> prefixes;
  for (const std::string& text : texts)
    if (auto parsed = parse_cidr(text)) prefixes.push_back(*parsed);
  return prefixes;
}

bool prefix_covered(const IpPrefix& prefix, const std::vector<IpPrefix>& candidates) {
  return std::ranges::any_of(candidates, [&](const IpPrefix& candidate) {
    return candidate.family == prefix.family && candidate.prefix_len <= prefix.prefix_len &&
           (prefix.network & ~host_mask(candidate.family, candidate.prefix_len)) == candidate.network;
  });
}

std::optional<IpPrefix> match_private_onlink_prefix(const platform::IpAddress& destination, std::uint8_t prefix_len,
                                                    const platform::IpAddress& next_hop,
                                                    const std::vector<std::string>& addresses) {
  return match_parsed_prefix(destination, prefix_len, next_hop, [&](const IpPrefix& route) {
    return std::ranges::any_of(addresses, [&](const std::string& address) {
      const std::optional<IpPrefix> own = parse_cidr(address);
      return own && *own == route;
    });
  });
}

std::vector<InterfaceRoute> rows_for_interface(const std::vector<RouteRow>& rows, std::uint32_t if_index, bool v6) {
  const AddressFamily family = v6 ? AddressFamily::V6 : AddressFamily::V4;
  std::vector<InterfaceRoute> routes;
  for (const RouteRow& row : rows)
    if (row.if_index == if_index && row.destination.family == family)
      routes.push_back({row.destination, row.prefix_len, row.next_hop});
  return routes;
}

bool routes_only_local(const std::vector<InterfaceRoute>& routes, const std::vector<std::string>& addresses) {
  std::vector<IpPrefix> candidates = parse_cidr_list(addresses);
  if (routes.empty() || candidates.empty()) return false;
  // Own prefixes first, then the special-purpose ones.
  std::ranges::copy(special_purpose_prefixes(), std::back_inserter(candidates));
  return std::ranges::all_of(routes, [&](const InterfaceRoute& route) {
    if (!is_on_link(route.destination, route.prefix_len, route.next_hop)) return false;
    const auto text = prefix_text(route.destination, route.prefix_len);
    const std::optional<IpPrefix> prefix = text ? parse_cidr(*text) : std::nullopt;
    return prefix && prefix_covered(*prefix, candidates);
  });
}

bool route_rows_equal(const std::vector<RouteRow>& a, const std::vector<RouteRow>& b) {
  return std::ranges::equal(a, b, [](const RouteRow& x, const RouteRow& y) {
    return x.prefix_len == y.prefix_len && x.if_index == y.if_index && x.metric == y.metric &&
           x.destination == y.destination && x.next_hop == y.next_hop && x.alias == y.alias;
  });
}

Result<std::vector<RouteRow>> snapshot_route_table(platform::IpHelper& ip) {
  auto table = ip.forward_table();
  if (!table || !*table)
    return fail("GetIpForwardTable2 failed: " + std::to_string(table ? 0u : table.error().os_code().value_or(0)));

  struct InterfaceFacts {
    std::string alias;
    std::uint32_t metric = 0;
  };
  // Only for this read: an alias or metric may change between two reads,
  // and the re-read must see the change.
  std::map<std::pair<std::uint64_t, AddressFamily>, InterfaceFacts> cache;

  std::vector<RouteRow> rows;
  rows.reserve((*table)->size());
  for (const platform::ForwardRow& forward : **table) {
    if (!routable(forward.destination.family) || !routable(forward.next_hop.family)) continue;
    auto [slot, missing] = cache.try_emplace({forward.luid, forward.destination.family});
    if (missing) {
      if (auto alias = ip.luid_to_alias(forward.luid)) slot->second.alias = text::from_utf16_lossy(*alias);
      if (auto metric = ip.interface_metric(forward.luid, forward.destination.family == AddressFamily::V6))
        slot->second.metric = *metric;
    }
    const std::uint64_t metric = std::uint64_t{forward.metric} + slot->second.metric;
    rows.push_back(RouteRow{
        .alias = slot->second.alias,
        .if_index = forward.if_index,
        .metric = static_cast<std::uint32_t>(std::min<std::uint64_t>(metric, std::numeric_limits<std::uint32_t>::max())),
        .destination = forward.destination,
        .next_hop = forward.next_hop,
        .prefix_len = forward.prefix_length,
    });
  }
  return rows;
}

std::optional<WanInterface> describe_wan_interface(platform::IpHelper& ip, std::uint32_t if_index, bool v6,
                                                   const std::vector<RouteRow>& rows) {
  const auto entry = ip.interface_entry(if_index);
  if (!entry || entry->if_index != if_index) return std::nullopt;
  const auto table = ip.unicast_table();
  if (!table || !*table || (*table)->size() > MAX_UNICAST_ROWS) return std::nullopt;

  const AddressFamily family = v6 ? AddressFamily::V6 : AddressFamily::V4;
  std::vector<std::string> addresses;
  for (const platform::UnicastRow& row : **table) {
    if (row.luid != entry->luid || row.if_index != if_index || row.dad_state != DAD_STATE_PREFERRED ||
        row.address.family != family)
      continue;
    if (auto text = prefix_text(row.address, row.on_link_prefix_length)) addresses.push_back(std::move(*text));
  }
  std::ranges::sort(addresses);
  addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());
  if (addresses.empty()) return std::nullopt;

  const bool lan_type = entry->type == IF_TYPE_ETHERNET_CSMACD || entry->type == IF_TYPE_IEEE80211;
  if (entry->oper_status != IF_OPER_STATUS_UP || !lan_type || entry->luid == 0 || if_index == 0) return std::nullopt;
  // A virtual adapter counts only when it reaches nothing beyond itself: a
  // route through a gateway would make it a path out of the machine.
  if (!entry->hardware && !routes_only_local(rows_for_interface(rows, if_index, v6), addresses)) return std::nullopt;
  return WanInterface{entry->luid, std::move(addresses)};
}

bool bypass_entry_changed(platform::IpHelper& ip, const BaselineBypass& entry, const std::vector<RouteRow>& rows) {
  const std::optional<WanInterface> now = describe_wan_interface(ip, entry.wan_index, entry.v6, rows);
  return !now || now->luid != entry.wan_luid || now->addresses != entry.addresses;
}

std::vector<BaselineBypass> snapshot_baseline_bypass(platform::IpHelper& ip) {
  const auto first = snapshot_route_table(ip);
  if (!first || first->size() > MAX_ROUTE_ROWS) return {};

  std::map<InterfaceKey, Described> described;
  std::vector<BaselineBypass> entries;
  for (const RouteRow& row : *first) {
    if (row.if_index == 0 || row.prefix_len == 0 || !is_unspecified(row.next_hop)) continue;
    const bool v6 = row.destination.family == AddressFamily::V6;
    auto [slot, missing] = described.try_emplace({row.if_index, v6});
    if (missing) {
      slot->second.wan = describe_wan_interface(ip, row.if_index, v6, *first);
      if (slot->second.wan) slot->second.own_prefixes = parse_cidr_list(slot->second.wan->addresses);
    }
    const std::optional<WanInterface>& wan = slot->second.wan;
    if (!wan) continue;
    const auto& own = slot->second.own_prefixes;
    // The first parsed address of the same family and equal network and
    // length, as the text form would find it.
    if (!match_parsed_prefix(row.destination, row.prefix_len, row.next_hop,
                             [&](const IpPrefix& route) { return std::ranges::find(own, route) != own.end(); }))
      continue;

    BaselineBypass entry{
        .prefix = prefix_text(row.destination, row.prefix_len).value_or(""),
        .wan_luid = wan->luid,
        .wan_index = row.if_index,
        .v6 = v6,
        .addresses = wan->addresses,
    };
    if (std::ranges::find(entries, entry) != entries.end()) continue;
    entries.push_back(std::move(entry));
    if (entries.size() > MAX_BASELINE_BYPASS) return {};
  }

  // The list stands only if the stack held still while it was read.
  const auto second = snapshot_route_table(ip);
  if (!second || !route_rows_equal(*first, *second)) return {};
  for (const BaselineBypass& entry : entries)
    if (bypass_entry_changed(ip, entry, *first)) return {};
  return entries;
}

}  // namespace vorn
