// The baseline bypass snapshot on a large fake stack: 4,096 routes over 64
// interfaces with 16,384 unicast rows. Prints the time per snapshot beside
// the bare cost of the same platform reads done without any logic, and the
// calls the snapshot made by kind beside the calls it is allowed. Goal:
// exactly the allowed calls, and well under 100 ms per snapshot.
#include <cstdio>
#include <string>

#include "bench/bench_timing.hpp"
#include "route_ownership/bypass_snapshot.hpp"
#include "support/fake_network.hpp"
#include "tun/ip_address.hpp"

namespace {

using vorn::platform::AddressFamily;
using vorn::platform::IpAddress;

constexpr int INTERFACES = 64;
constexpr int ROUTES_PER_INTERFACE = 64;    // 4,096 in all
constexpr int ADDRESSES_PER_FAMILY = 128;  // 16,384 unicast rows in all

IpAddress v4(int a, int b, int c, int d) {
  IpAddress out{.family = AddressFamily::V4};
  out.bytes[0] = static_cast<std::uint8_t>(a), out.bytes[1] = static_cast<std::uint8_t>(b);
  out.bytes[2] = static_cast<std::uint8_t>(c), out.bytes[3] = static_cast<std::uint8_t>(d);
  return out;
}

// fd00:0:0:{i}::{host} or fe80::{host}.
IpAddress v6(int i, int host, bool link_local = false) {
  IpAddress out{.family = AddressFamily::V6};
  out.bytes[0] = link_local ? 0xfe : 0xfd;
  out.bytes[1] = link_local ? 0x80 : 0x00;
  out.bytes[7] = static_cast<std::uint8_t>(link_local ? 0 : i);
  out.bytes[14] = static_cast<std::uint8_t>(host >> 8);
  out.bytes[15] = static_cast<std::uint8_t>(host);
  return out;
}

// 64 Ethernet or Wi-Fi interfaces, each with a private IPv4 /24 and an IPv6
// ULA /64, half of them virtual adapters with only local routes.
vorn::testing::FakeIpHelper large_stack() {
  vorn::testing::FakeIpHelper ip;
  for (int i = 1; i <= INTERFACES; ++i) {
    const std::uint64_t luid = (std::uint64_t{6} << 48) | static_cast<std::uint64_t>(i);
    const auto index = static_cast<std::uint32_t>(i);
    ip.interfaces[index] = {.luid = luid, .if_index = index, .type = i % 2 ? 6u : 71u, .oper_status = 1, .hardware = i % 2 == 0};
    ip.aliases[luid] = u"Ethernet " + std::u16string(1, static_cast<char16_t>(u'A' + i % 26));
    ip.metrics[{luid, false}] = 25;
    ip.metrics[{luid, true}] = 25;
    const auto add = [&](IpAddress destination, int length, IpAddress next_hop) {
      ip.routes.push_back({.luid = luid, .if_index = index, .destination = destination,
                           .prefix_length = static_cast<std::uint8_t>(length), .next_hop = next_hop, .metric = 256});
    };
    add(v4(10, i, 0, 0), 24, v4(0, 0, 0, 0));
    add(v4(224, 0, 0, 0), 4, v4(0, 0, 0, 0));
    add(v6(i, 0), 64, v6(0, 0, true) /* replaced below */);
    ip.routes.back().next_hop = IpAddress{.family = AddressFamily::V6};
    add(v6(0, 0, true), 64, IpAddress{.family = AddressFamily::V6});
    for (int h = 0; ip.routes.size() < static_cast<std::size_t>(i * ROUTES_PER_INTERFACE); ++h) {
      if (h % 2 == 0) add(v4(10, i, 0, 1 + h / 2), 32, v4(0, 0, 0, 0));
      else add(v6(i, 1 + h / 2), 128, IpAddress{.family = AddressFamily::V6});
    }
    for (int h = 1; h <= ADDRESSES_PER_FAMILY; ++h) {
      ip.unicast.push_back({.address = v4(10, i, 0, h), .luid = luid, .if_index = index, .on_link_prefix_length = 24, .dad_state = 4});
      ip.unicast.push_back({.address = v6(i, h), .luid = luid, .if_index = index, .on_link_prefix_length = 64, .dad_state = 4});
    }
  }
  return ip;
}

}  // namespace

int main() {
  vorn::testing::FakeIpHelper ip = large_stack();
  std::printf("fake stack: %zu routes, %d interfaces, %zu unicast rows\n", ip.routes.size(), INTERFACES, ip.unicast.size());

  ip.calls = {};
  const auto entries = vorn::snapshot_baseline_bypass(ip);
  const vorn::testing::IpHelperCalls calls = ip.calls;
  const std::uint64_t pairs = 2 * INTERFACES;  // (interface, family) pairs, all with routes
  const std::uint64_t described = pairs + entries.size();
  std::printf("entries: %zu\n\n", entries.size());
  std::printf("%-22s %8s %8s\n", "platform calls", "made", "allowed");
  const auto row = [](const char* kind, std::uint64_t made, std::uint64_t allowed) {
    std::printf("%-22s %8llu %8llu%s\n", kind, static_cast<unsigned long long>(made),
                static_cast<unsigned long long>(allowed), made == allowed ? "" : "  <-- differs");
  };
  row("GetIpForwardTable2", calls.forward_table, 2);
  row("LuidToAlias", calls.luid_to_alias, 2 * pairs);
  row("GetIpInterfaceEntry", calls.interface_metric, 2 * pairs);
  row("GetIfEntry2", calls.interface_entry, described);
  row("GetUnicastIpAddrTable", calls.unicast_table, described);
  row("AliasToLuid", calls.alias_to_luid, 0);

  // The baseline: the same reads, in the same number, with nothing done to
  // their rows.
  const auto bare_reads = [&] {
    for (int r = 0; r < 2; ++r) vorn::bench::keep(ip.forward_table());
    for (std::uint64_t p = 0; p < 2 * pairs; ++p) {
      vorn::bench::keep(ip.luid_to_alias((std::uint64_t{6} << 48) | (p % INTERFACES + 1)));
      vorn::bench::keep(ip.interface_metric((std::uint64_t{6} << 48) | (p % INTERFACES + 1), p % 2 == 1));
    }
    for (std::uint64_t d = 0; d < described; ++d) {
      vorn::bench::keep(ip.interface_entry(static_cast<std::uint32_t>(d % INTERFACES + 1)));
      vorn::bench::keep(ip.unicast_table());
    }
  };
  const auto snapshot = [&] { vorn::bench::keep(vorn::snapshot_baseline_bypass(ip)); };
  const auto medians = vorn::bench::median_seconds({snapshot, bare_reads}, 15);
  std::printf("\n%-34s %10s\n", "median of 15, interleaved", "ms");
  std::printf("%-34s %10.2f   (goal: well under 100)\n", "snapshot_baseline_bypass", medians[0] * 1e3);
  std::printf("%-34s %10.2f\n", "baseline: the same reads, bare", medians[1] * 1e3);
  std::printf("%-34s %10.2f\n", "logic above the reads", (medians[0] - medians[1]) * 1e3);
  return calls.forward_table == 2 && calls.interface_entry == described ? 0 : 1;
}
