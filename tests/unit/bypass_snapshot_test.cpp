// The baseline bypass snapshot and its prefix helpers against a fake network
// stack.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "route_ownership/bypass_snapshot.hpp"
#include "route_ownership/route_identity_json.hpp"
#include "support/fake_network.hpp"
#include "tun/ip_address.hpp"

namespace vorn {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::FakeIpHelper;

platform::IpAddress addr(std::string_view text) {
  const auto parsed = parse_ip_address(text);
  EXPECT_TRUE(parsed.has_value()) << text;
  platform::IpAddress out;
  if (const auto* v4 = std::get_if<Ipv4Address>(&*parsed)) {
    out.family = platform::AddressFamily::V4;
    std::copy(v4->octets.begin(), v4->octets.end(), out.bytes.begin());
  } else {
    out.family = platform::AddressFamily::V6;
    out.bytes = std::get<Ipv6Address>(*parsed).bytes;
  }
  return out;
}

bool is_v6(std::string_view text) { return text.find(':') != std::string_view::npos; }

// "192.168.1.0/24" on-link, or via `gateway`.
platform::ForwardRow route(std::uint64_t luid, std::uint32_t index, std::string_view prefix,
                           std::string_view gateway = "", std::uint32_t metric = 256) {
  const std::size_t slash = prefix.find('/');
  const std::string_view none = is_v6(prefix) ? "::" : "0.0.0.0";
  return platform::ForwardRow{.luid = luid,
                              .if_index = index,
                              .destination = addr(prefix.substr(0, slash)),
                              .prefix_length = static_cast<std::uint8_t>(std::stoi(std::string(prefix.substr(slash + 1)))),
                              .next_hop = addr(gateway.empty() ? none : gateway),
                              .metric = metric};
}

platform::UnicastRow unicast(std::uint64_t luid, std::uint32_t index, std::string_view address_with_length,
                             std::uint32_t dad_state = 4) {
  const std::size_t slash = address_with_length.find('/');
  return platform::UnicastRow{
      .address = addr(address_with_length.substr(0, slash)),
      .luid = luid,
      .if_index = index,
      .on_link_prefix_length = static_cast<std::uint8_t>(std::stoi(std::string(address_with_length.substr(slash + 1)))),
      .dad_state = dad_state};
}

constexpr std::uint64_t LAN_LUID = 0x0006'0000'0100'0000;
constexpr std::uint32_t LAN = 7;

// One Ethernet adapter on 192.168.1.0/24 with a default gateway, as a home
// machine has it.
FakeIpHelper home_lan() {
  FakeIpHelper ip;
  ip.interfaces[LAN] = {.luid = LAN_LUID, .if_index = LAN, .type = 6, .oper_status = 1, .hardware = true};
  ip.aliases[LAN_LUID] = u"Ethernet";
  ip.metrics[{LAN_LUID, false}] = 25;
  ip.metrics[{LAN_LUID, true}] = 25;
  ip.unicast = {unicast(LAN_LUID, LAN, "192.168.1.20/24"), unicast(LAN_LUID, LAN, "fe80::1234/64")};
  ip.routes = {
      route(LAN_LUID, LAN, "0.0.0.0/0", "192.168.1.1"), route(LAN_LUID, LAN, "192.168.1.0/24"),
      route(LAN_LUID, LAN, "192.168.1.20/32"),           route(LAN_LUID, LAN, "192.168.1.255/32"),
      route(LAN_LUID, LAN, "224.0.0.0/4"),               route(LAN_LUID, LAN, "fe80::/64"),
  };
  return ip;
}

BaselineBypass lan_entry() {
  return BaselineBypass{
      .prefix = "192.168.1.0/24", .wan_luid = LAN_LUID, .wan_index = LAN, .v6 = false, .addresses = {"192.168.1.20/24"}};
}

struct SnapshotCase {
  std::string label;
  std::function<void(FakeIpHelper&)> change;
  std::vector<BaselineBypass> expected;
};

TEST(BaselineBypassSnapshot, EligibleInterfacesAndTheirPrivateSubnets) {
  const BaselineBypass ula{.prefix = "fd00:1::/64", .wan_luid = LAN_LUID, .wan_index = LAN, .v6 = true,
                           .addresses = {"fd00:1::5/64", "fe80::1234/64"}};
  const auto make_virtual = [](FakeIpHelper& ip) { ip.interfaces[LAN].hardware = false; };
  const SnapshotCase cases[] = {
      {"Ethernet with a default gateway", [](FakeIpHelper&) {}, {lan_entry()}},
      {"Wi-Fi", [](FakeIpHelper& ip) { ip.interfaces[LAN].type = 71; }, {lan_entry()}},
      {"disconnected", [](FakeIpHelper& ip) { ip.interfaces[LAN].oper_status = 2; }, {}},
      {"not a LAN type", [](FakeIpHelper& ip) { ip.interfaces[LAN].type = 131; }, {}},
      {"virtual with a gateway route", make_virtual, {}},
      {"virtual with only local routes",
       [&](FakeIpHelper& ip) {
         make_virtual(ip);
         ip.routes.erase(ip.routes.begin());
       },
       {lan_entry()}},
      {"virtual: the gateway route of the other family does not count",
       [&](FakeIpHelper& ip) {
         make_virtual(ip);
         ip.routes.erase(ip.routes.begin());
         ip.routes.push_back(route(LAN_LUID, LAN, "::/0", "fe80::1"));
       },
       {lan_entry()}},
      {"non-private subnet",
       [](FakeIpHelper& ip) {
         ip.unicast = {unicast(LAN_LUID, LAN, "100.64.1.2/10")};
         ip.routes = {route(LAN_LUID, LAN, "100.64.0.0/10")};
       },
       {}},
      {"ULA subnet equal to an address prefix",
       [](FakeIpHelper& ip) {
         ip.unicast.push_back(unicast(LAN_LUID, LAN, "fd00:1::5/64"));
         ip.routes.push_back(route(LAN_LUID, LAN, "fd00:1::/64"));
       },
       {lan_entry(), ula}},
      {"global IPv6 subnet",
       [](FakeIpHelper& ip) {
         ip.unicast.push_back(unicast(LAN_LUID, LAN, "2001:db8::5/64"));
         ip.routes.push_back(route(LAN_LUID, LAN, "2001:db8::/64"));
       },
       {lan_entry()}},
      {"route prefix differs from the address prefix",
       [](FakeIpHelper& ip) { ip.routes[1] = route(LAN_LUID, LAN, "192.168.0.0/16"); }, {}},
      {"same route twice", [](FakeIpHelper& ip) { ip.routes.push_back(ip.routes[1]); }, {lan_entry()}},
      {"address only tentative", [](FakeIpHelper& ip) { ip.unicast[0].dad_state = 1; }, {}},
      {"address of another interface", [](FakeIpHelper& ip) { ip.unicast[0].luid = 99; }, {}},
      {"interface entry fails", [](FakeIpHelper& ip) { ip.interfaces.clear(); }, {}},
      {"interface entry for another index",
       [](FakeIpHelper& ip) { ip.interfaces[LAN].if_index = LAN + 1; }, {}},
      {"interface without LUID",
       [](FakeIpHelper& ip) {
         ip.interfaces[LAN].luid = 0;
         for (auto& row : ip.unicast) row.luid = 0;
       },
       {}},
      {"unicast table fails", [](FakeIpHelper& ip) { ip.unicast_error = 8; }, {}},
      {"unicast table missing", [](FakeIpHelper& ip) { ip.unicast_without_table = true; }, {}},
      {"16385 unicast rows",
       [](FakeIpHelper& ip) { ip.unicast.resize(MAX_UNICAST_ROWS + 1, unicast(1, 1, "10.9.9.9/8")); }, {}},
      {"16384 unicast rows",
       [](FakeIpHelper& ip) { ip.unicast.resize(MAX_UNICAST_ROWS, unicast(1, 1, "10.9.9.9/8")); }, {lan_entry()}},
      {"forward table fails", [](FakeIpHelper& ip) { ip.forward_error = 87; }, {}},
      {"forward table missing", [](FakeIpHelper& ip) { ip.forward_without_table = true; }, {}},
      {"4097 route rows",
       [](FakeIpHelper& ip) { ip.routes.resize(MAX_ROUTE_ROWS + 1, route(LAN_LUID, LAN, "192.168.1.20/32")); }, {}},
      {"4096 route rows",
       [](FakeIpHelper& ip) { ip.routes.resize(MAX_ROUTE_ROWS, route(LAN_LUID, LAN, "192.168.1.20/32")); },
       {lan_entry()}},
      {"route added between the two reads",
       [](FakeIpHelper& ip) {
         ip.after_forward_read = [&ip](std::uint64_t read) {
           if (read == 1) ip.routes.push_back(route(LAN_LUID, LAN, "10.0.0.0/8", "192.168.1.1"));
         };
       },
       {}},
      {"route re-metered between the two reads",
       [](FakeIpHelper& ip) {
         ip.after_forward_read = [&ip](std::uint64_t read) {
           if (read == 1) ip.routes[0].metric += 1;
         };
       },
       {}},
      {"interface renamed between the two reads",
       [](FakeIpHelper& ip) {
         ip.after_forward_read = [&ip](std::uint64_t read) {
           if (read == 2) ip.aliases[LAN_LUID] = u"LAN";  // the second read asks again
         };
       },
       {}},
      {"second read fails",
       [](FakeIpHelper& ip) {
         ip.after_forward_read = [&ip](std::uint64_t read) {
           if (read == 1) ip.forward_error = 1;
         };
       },
       {}},
      {"address changed before the re-check",
       [](FakeIpHelper& ip) {
         ip.after_unicast_read = [&ip](std::uint64_t read) {
           if (read == 1) ip.unicast.push_back(unicast(LAN_LUID, LAN, "192.168.1.21/24"));
         };
       },
       {}},
      {"adapter re-created under another LUID before the re-check",
       [](FakeIpHelper& ip) {
         ip.after_unicast_read = [&ip](std::uint64_t read) {
           if (read != 1) return;
           ip.interfaces[LAN].luid += 1;
           for (auto& row : ip.unicast) row.luid += 1;
         };
       },
       {}},
      {"adapter went down before the re-check",
       [](FakeIpHelper& ip) {
         ip.after_unicast_read = [&ip](std::uint64_t read) {
           if (read == 1) ip.interfaces[LAN].oper_status = 2;
         };
       },
       {}},
  };
  for (const auto& c : cases) {
    FakeIpHelper ip = home_lan();
    c.change(ip);
    EXPECT_EQ(snapshot_baseline_bypass(ip), c.expected) << c.label;
  }
}

// `count` interfaces-worth of /30 subnets, each with its own address.
void add_private_subnets(FakeIpHelper& ip, int count) {
  ip.routes.clear();
  ip.unicast.clear();
  for (int i = 0; i < count; ++i) {
    const std::string base = "10.1." + std::to_string(i / 64) + "." + std::to_string((i % 64) * 4);
    const std::string host = "10.1." + std::to_string(i / 64) + "." + std::to_string((i % 64) * 4 + 1);
    ip.routes.push_back(route(LAN_LUID, LAN, base + "/30"));
    ip.unicast.push_back(unicast(LAN_LUID, LAN, host + "/30"));
  }
}

TEST(BaselineBypassSnapshot, AtMost256DistinctEntries) {
  FakeIpHelper ip = home_lan();
  add_private_subnets(ip, 256);
  const auto entries = snapshot_baseline_bypass(ip);
  ASSERT_EQ(entries.size(), 256u);
  EXPECT_EQ(entries.front().prefix, "10.1.0.0/30");
  EXPECT_EQ(entries.back().prefix, "10.1.3.252/30");
  EXPECT_EQ(entries.front().addresses.size(), 256u);

  add_private_subnets(ip, 257);
  EXPECT_THAT(snapshot_baseline_bypass(ip), IsEmpty());
}

TEST(BaselineBypassSnapshot, AsksTheStackOnlyAsOftenAsNeeded) {
  FakeIpHelper ip = home_lan();
  constexpr std::uint64_t WIFI_LUID = 0x47'0000'0000'0001;
  ip.interfaces[9] = {.luid = WIFI_LUID, .if_index = 9, .type = 71, .oper_status = 1, .hardware = true};
  ip.unicast.push_back(unicast(WIFI_LUID, 9, "10.0.5.7/24"));
  ip.unicast.push_back(unicast(WIFI_LUID, 9, "fd12::7/64"));
  for (const char* prefix : {"10.0.5.0/24", "10.0.5.7/32", "fd12::/64", "fd12::7/128"})
    ip.routes.push_back(route(WIFI_LUID, 9, prefix));
  const auto entries = snapshot_baseline_bypass(ip);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[1].prefix, "10.0.5.0/24");
  EXPECT_EQ(entries[2].prefix, "fd12::/64");
  EXPECT_EQ(ip.calls.forward_table, 2u);
  // Four (interface, family) pairs carry routes; each is asked once per read.
  EXPECT_EQ(ip.calls.luid_to_alias, 2u * 4u);
  EXPECT_EQ(ip.calls.interface_metric, 2u * 4u);
  // Four pairs with on-link routes described once, then once per entry.
  EXPECT_EQ(ip.calls.interface_entry, 4u + 3u);
  EXPECT_EQ(ip.calls.unicast_table, 4u + 3u);
}

TEST(RouteTableSnapshot, RowsCarryAliasAndSummedMetric) {
  FakeIpHelper ip = home_lan();
  ip.aliases[LAN_LUID] = std::u16string(u"LAN ") + char16_t(0xDC00);
  ip.metrics[{LAN_LUID, false}] = 0x200;
  ip.routes = {route(LAN_LUID, LAN, "10.0.0.0/8", "", 0xFFFF'FF00), route(LAN_LUID, LAN, "fe80::/64", "", 7),
               route(5, 5, "10.5.0.0/16", "", 3)};
  ip.routes.push_back(ip.routes[0]);
  ip.routes.back().destination.family = platform::AddressFamily::Other;  // neither family: skipped
  const auto rows = snapshot_route_table(ip);
  ASSERT_TRUE(rows.has_value());
  ASSERT_EQ(rows->size(), 3u);
  EXPECT_EQ((*rows)[0].alias, "LAN \uFFFD");
  EXPECT_EQ((*rows)[0].metric, 0xFFFF'FFFFu);  // saturated
  EXPECT_EQ((*rows)[1].metric, 7u + 25u);
  EXPECT_EQ((*rows)[2].alias, "");  // alias and metric unreadable
  EXPECT_EQ((*rows)[2].metric, 3u);
  EXPECT_EQ(ip.calls.luid_to_alias, 3u);
}

TEST(RouteTableSnapshot, FailureTextCarriesTheReturnCode) {
  FakeIpHelper ip;
  ip.forward_error = 87;
  EXPECT_EQ(snapshot_route_table(ip).error().full(), "GetIpForwardTable2 failed: 87");
  ip.forward_error.reset();
  ip.forward_without_table = true;
  EXPECT_EQ(snapshot_route_table(ip).error().full(), "GetIpForwardTable2 failed: 0");
}

TEST(RouteTableSnapshot, RowsDifferInAnyField) {
  FakeIpHelper ip = home_lan();
  const auto base = *snapshot_route_table(ip);
  EXPECT_TRUE(route_rows_equal(base, base));
  const std::function<void(RouteRow&)> changes[] = {
      [](RouteRow& r) { r.alias = "x"; },      [](RouteRow& r) { r.if_index += 1; },
      [](RouteRow& r) { r.metric += 1; },      [](RouteRow& r) { r.prefix_len += 1; },
      [](RouteRow& r) { r.destination.bytes[3] ^= 1; },
      [](RouteRow& r) { r.next_hop.family = platform::AddressFamily::V6; },
  };
  for (const auto& change : changes) {
    auto other = base;
    change(other[2]);
    EXPECT_FALSE(route_rows_equal(base, other));
  }
  auto shorter = base;
  shorter.pop_back();
  EXPECT_FALSE(route_rows_equal(base, shorter));
  auto reordered = base;
  std::swap(reordered[1], reordered[2]);
  EXPECT_FALSE(route_rows_equal(base, reordered));
}

TEST(ParseCidr, AcceptedAndRefusedTexts) {
  struct Case {
    std::string text;
    std::optional<std::string> network;  // re-printed, when accepted
  };
  const Case cases[] = {
      {"10.0.0.1/+8", "10.0.0.0/8"},
      {"10.0.0.1/008", "10.0.0.0/8"},
      {"::/0", "::/0"},
      {"10.0.0.1/0", "0.0.0.0/0"},
      {"192.168.1.20/32", "192.168.1.20/32"},
      {"fe80::1234/10", "fe80::/10"},
      {"fd00:1::5/64", "fd00:1::/64"},
      {"::ffff:10.1.2.3/128", "::ffff:10.1.2.3/128"},
      {"10.0.0.1", std::nullopt},
      {"10.0.0.1/", std::nullopt},
      {"10.0.0.1/33", std::nullopt},
      {"::/129", std::nullopt},
      {"10.0.0.1/256", std::nullopt},
      {" 10.0.0.1/8", std::nullopt},
      {"10.0.0.1/8 ", std::nullopt},
      {"10.0.0.1/-8", std::nullopt},
      {"10.0.0.1/+", std::nullopt},
      {"10.0.0.1/8/8", std::nullopt},
      {"10.0.0.1/0x8", std::nullopt},
      {"[::1]/128", std::nullopt},
      {"fe80::1%3/64", std::nullopt},
      {"010.0.0.1/8", std::nullopt},
      {"/8", std::nullopt},
  };
  const auto print = [](const IpPrefix& p) {
    platform::IpAddress a;
    a.family = p.family;
    const int size = p.family == platform::AddressFamily::V6 ? 16 : 4;
    for (int i = 0; i < size; ++i) a.bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(p.network >> (8 * (size - 1 - i)));
    return *format_stack_address(a) + "/" + std::to_string(p.prefix_len);
  };
  for (const auto& c : cases) {
    const auto parsed = parse_cidr(c.text);
    EXPECT_EQ(parsed ? std::optional(print(*parsed)) : std::nullopt, c.network) << '"' << c.text << '"';
  }
  EXPECT_EQ(parse_cidr_list({"10.0.0.1/8", "bad", "::1/128"}).size(), 2u);
}

TEST(PrefixHelpers, CoverageAndLocalRoutes) {
  const auto p = [](std::string_view text) { return *parse_cidr(text); };
  EXPECT_TRUE(prefix_covered(p("10.1.2.0/24"), {p("10.0.0.0/8")}));
  EXPECT_TRUE(prefix_covered(p("10.0.0.0/8"), {p("10.0.0.0/8")}));
  EXPECT_FALSE(prefix_covered(p("10.0.0.0/7"), {p("10.0.0.0/8")}));
  EXPECT_FALSE(prefix_covered(p("11.0.0.0/8"), {p("10.0.0.0/8")}));
  EXPECT_FALSE(prefix_covered(p("::/8"), {p("0.0.0.0/0")}));  // other family
  EXPECT_TRUE(prefix_covered(p("2001:db8::/64"), {p("::/0")}));

  const std::vector<std::string> own = {"192.168.56.1/24"};
  const auto on_link = [](std::string_view prefix) {
    const auto r = route(1, 1, prefix);
    return InterfaceRoute{r.destination, r.prefix_length, r.next_hop};
  };
  EXPECT_TRUE(routes_only_local({on_link("192.168.56.0/24"), on_link("192.168.56.255/32"), on_link("224.0.0.0/4"),
                                 on_link("255.255.255.255/32")},
                                own));
  EXPECT_FALSE(routes_only_local({}, own));
  EXPECT_FALSE(routes_only_local({on_link("192.168.56.0/24")}, {}));
  EXPECT_FALSE(routes_only_local({on_link("192.168.57.0/24")}, own));
  const auto r = route(1, 1, "0.0.0.0/0", "192.168.56.2");
  EXPECT_FALSE(routes_only_local({on_link("192.168.56.0/24"), {r.destination, r.prefix_length, r.next_hop}}, own));
  EXPECT_TRUE(routes_only_local({on_link("fe80::/64"), on_link("ff00::/8"), on_link("::1/128")}, {"fe80::5/64"}));
}

TEST(PrivateOnLinkMatch, OnlyPrivateOnLinkRoutesEqualToAnAddressPrefix) {
  const auto match = [](std::string_view prefix, std::string_view gateway, std::vector<std::string> addresses) {
    const auto r = route(1, 1, prefix, gateway);
    const auto found = match_private_onlink_prefix(r.destination, r.prefix_length, r.next_hop, addresses);
    return found.has_value();
  };
  EXPECT_TRUE(match("10.2.0.0/16", "", {"10.2.3.4/16"}));
  EXPECT_TRUE(match("172.16.0.0/12", "", {"172.20.0.1/12"}));
  EXPECT_TRUE(match("169.254.0.0/16", "", {"169.254.7.7/16"}));
  EXPECT_FALSE(match("172.32.0.0/16", "", {"172.32.0.1/16"}));
  EXPECT_FALSE(match("10.2.0.0/16", "10.2.0.1", {"10.2.3.4/16"}));
  EXPECT_FALSE(match("10.2.0.0/16", "", {"10.2.3.4/24"}));
  EXPECT_TRUE(match("fc00:5::/64", "", {"fc00:5::9/64"}));
  EXPECT_FALSE(match("fe80::/64", "", {"fe80::9/64"}));
  // A next hop of the other family is not on-link.
  auto r = route(1, 1, "10.2.0.0/16");
  r.next_hop = addr("::");
  EXPECT_FALSE(match_private_onlink_prefix(r.destination, r.prefix_length, r.next_hop, {"10.2.3.4/16"}));
}

TEST(BaselineBypassJson, KeysInAscendingOrder) {
  EXPECT_EQ(baseline_bypass_to_value(lan_entry()).dump(),
            R"({"addresses":["192.168.1.20/24"],"prefix":"192.168.1.0/24","v6":false,"wan_index":7,"wan_luid":1688849877041152})");
}

}  // namespace
}  // namespace vorn
