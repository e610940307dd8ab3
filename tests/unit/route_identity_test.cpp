// The TUN route identity and the route-reason line with its repeat count.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "route_ownership/route_identity.hpp"
#include "route_ownership/route_identity_json.hpp"
#include "support/fake_network.hpp"
#include "support/fake_platform.hpp"
#include "helper_engine/engine.hpp"
#include "tun/ip_address.hpp"

namespace vorn {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::FakeIpHelper;

using testing::TUN_LUID;

platform::UnicastRow host(std::string_view text, std::uint32_t index, std::uint32_t dad_state = 4,
                          std::uint64_t luid = TUN_LUID) {
  return testing::unicast_host(text, index, dad_state, luid);
}

// A running adapter "Vorn-1a2b3c" holding both host addresses of range 0.
FakeIpHelper running_tun() {
  FakeIpHelper ip;
  ip.luids["Vorn-1a2b3c"] = TUN_LUID;
  ip.unicast = {host("10.86.111.1", 41), host("fd56:6f72:6e00::1", 41), host("192.168.1.20", 7, 4, 9)};
  return ip;
}

RouteReason identity(RouteReasonCode code, RouteApi api = RouteApi::None, std::optional<std::uint32_t> api_code = {},
                     RouteFamily family = RouteFamily::Unspecified) {
  return RouteReason{.reason = code, .api = api, .api_code = api_code, .family = family};
}

struct IdentityCase {
  std::string label;
  std::string name;
  std::uint64_t range;
  std::function<void(FakeIpHelper&)> change;
  RouteReason expected;
};

TEST(TunRouteIdentity, EveryFailureHasItsReason) {
  const IdentityCase cases[] = {
      {"range 2", "Vorn-1a2b3c", 2, [](FakeIpHelper&) {}, identity(RouteReasonCode::InvalidInput)},
      {"not an own name", "Vornx", 0, [](FakeIpHelper&) {}, identity(RouteReasonCode::InvalidInput)},
      {"alias unknown", "Vorn-1a2b3c", 0, [](FakeIpHelper& ip) { ip.luids.clear(), ip.alias_lookup_error = 1168; },
       identity(RouteReasonCode::NativeApi, RouteApi::AliasToLuid, 1168)},
      {"LUID 0", "Vorn-1a2b3c", 0, [](FakeIpHelper& ip) { ip.luids["Vorn-1a2b3c"] = 0; },
       identity(RouteReasonCode::MissingNativeValue)},
      {"unicast table fails", "Vorn-1a2b3c", 0, [](FakeIpHelper& ip) { ip.unicast_error = 8; },
       identity(RouteReasonCode::NativeApi, RouteApi::UnicastTable, 8)},
      {"unicast table missing", "Vorn-1a2b3c", 0, [](FakeIpHelper& ip) { ip.unicast_without_table = true; },
       identity(RouteReasonCode::MissingNativeValue)},
      {"16385 unicast rows", "Vorn-1a2b3c", 0,
       [](FakeIpHelper& ip) { ip.unicast.resize(16385, host("10.0.0.9", 3, 4, 3)); },
       identity(RouteReasonCode::TableLimit)},
      {"IPv4 host only tentative", "Vorn-1a2b3c", 0, [](FakeIpHelper& ip) { ip.unicast[0].dad_state = 1; },
       identity(RouteReasonCode::MissingPreferredAddress, RouteApi::None, {}, RouteFamily::Ipv4)},
      {"IPv4 host deprecated, IPv6 missing too", "Vorn-1a2b3c", 0,
       [](FakeIpHelper& ip) { ip.unicast = {host("10.86.111.1", 41, 3)}; },
       identity(RouteReasonCode::MissingPreferredAddress, RouteApi::None, {}, RouteFamily::Ipv4)},
      {"IPv6 host missing", "Vorn-1a2b3c", 0, [](FakeIpHelper& ip) { ip.unicast.erase(ip.unicast.begin() + 1); },
       identity(RouteReasonCode::MissingPreferredAddress, RouteApi::None, {}, RouteFamily::Ipv6)},
      {"hosts on another interface", "Vorn-1a2b3c", 0,
       [](FakeIpHelper& ip) { ip.unicast = {host("10.86.111.1", 41, 4, 1), host("fd56:6f72:6e00::1", 41, 4, 1)}; },
       identity(RouteReasonCode::MissingPreferredAddress, RouteApi::None, {}, RouteFamily::Ipv4)},
      {"host rows with index 0", "Vorn-1a2b3c", 0,
       [](FakeIpHelper& ip) { ip.unicast[0].if_index = 0; },
       identity(RouteReasonCode::MissingPreferredAddress, RouteApi::None, {}, RouteFamily::Ipv4)},
      {"range 1 hosts absent", "Vorn-1a2b3c", 1, [](FakeIpHelper&) {},
       identity(RouteReasonCode::MissingPreferredAddress, RouteApi::None, {}, RouteFamily::Ipv4)},
  };
  for (const auto& c : cases) {
    FakeIpHelper ip = running_tun();
    c.change(ip);
    const auto built = build_tun_route_identity(ip, c.name, c.range, {}, {});
    ASSERT_FALSE(built.has_value()) << c.label;
    EXPECT_EQ(built.error(), c.expected) << c.label;
    if (c.expected.reason == RouteReasonCode::InvalidInput) {
      EXPECT_EQ(ip.calls.alias_to_luid + ip.calls.unicast_table, 0u) << c.label;
    }
  }
}

TEST(TunRouteIdentity, BuiltFromTheTwoPreferredHostAddresses) {
  FakeIpHelper ip = running_tun();
  ip.luids[" vorn-1A2B3C"] = TUN_LUID;
  ip.unicast.push_back(host("10.86.111.1", 44));  // the last counting row wins
  ip.unicast.push_back(host("fd56:6f72:6e00::1", 45, 1));  // tentative: ignored
  const BaselineBypass lan{.prefix = "192.168.1.0/24", .wan_luid = 9, .wan_index = 7, .addresses = {"192.168.1.20/24"}};
  const auto built = build_tun_route_identity(ip, " vorn-1A2B3C", 0, {"203.0.113.0/24"}, {lan});
  ASSERT_TRUE(built.has_value());
  EXPECT_EQ(*built, (TunRouteIdentity{.name = " vorn-1A2B3C",
                                      .luid = TUN_LUID,
                                      .range = 0,
                                      .ipv4_index = 44,
                                      .ipv6_index = 41,
                                      .exclusions = {"203.0.113.0/24"},
                                      .baseline_bypass = {lan}}));

  FakeIpHelper second = running_tun();
  second.unicast = {host("10.181.229.1", 12), host("fd56:6f72:6e01::1", 13)};
  const auto other_range = build_tun_route_identity(second, "Vorn-1a2b3c", 1, {}, {});
  ASSERT_TRUE(other_range.has_value());
  EXPECT_EQ(other_range->ipv4_index, 12u);
  EXPECT_EQ(other_range->ipv6_index, 13u);
}

TEST(TunRouteIdentity, JsonKeysInAscendingOrder) {
  const TunRouteIdentity id{.name = "Vorn", .luid = 5, .range = 1, .ipv4_index = 2, .ipv6_index = 3,
                            .exclusions = {"1.2.3.0/24"}};
  EXPECT_EQ(tun_route_identity_to_value(id).dump(),
            R"({"baseline_bypass":[],"exclusions":["1.2.3.0/24"],"ipv4_index":2,"ipv6_index":3,"luid":5,"name":"Vorn","range":1})");
}

TEST(RouteReasonLine, FirstFailureGivesTheExactLine) {
  RouteReasonState state;
  EXPECT_EQ(format_route_reason(state, identity(RouteReasonCode::NativeApi, RouteApi::AliasToLuid, 1168),
                                std::chrono::microseconds(3999), false),
            "[route-reason] stage=Identity reason=NativeApi api=AliasToLuid api_code=Some(1168) family=Unspecified "
            "destination_class=None witness_scope=None query_pass=None point_ordinal=None witness_count=0 "
            "foreign_interface=None elapsed_ms=3 identity_present=false previous_repetitions=0 "
            "previous_first_elapsed_ms=0");
}

TEST(RouteReasonLine, EveryOptionalFieldPrintsItsValue) {
  RouteReasonState state;
  const RouteReason full{.stage = RouteStage::Worker,
                         .reason = RouteReasonCode::ForeignRoute,
                         .api = RouteApi::RouteTable,
                         .api_code = 0,
                         .family = RouteFamily::Ipv6,
                         .destination_class = DestinationClass::OtherIpv6,
                         .witness_scope = WitnessScope::BaselineBypass,
                         .query_pass = QueryPass::EffectiveRecheck,
                         .point_ordinal = 18446744073709551615u,
                         .witness_count = 4,
                         .foreign_interface = InterfaceKind::Unknown};
  EXPECT_EQ(format_route_reason(state, full, std::chrono::seconds(2), true),
            "[route-reason] stage=Worker reason=ForeignRoute api=RouteTable api_code=Some(0) family=Ipv6 "
            "destination_class=Some(OtherIpv6) witness_scope=Some(BaselineBypass) query_pass=Some(EffectiveRecheck) "
            "point_ordinal=Some(18446744073709551615) witness_count=4 foreign_interface=Some(Unknown) elapsed_ms=2000 "
            "identity_present=true previous_repetitions=0 previous_first_elapsed_ms=0");
}

TEST(RouteReasonLine, VariantsPrintTheirNamesInDeclaredOrder) {
  std::string reasons;
  for (int i = 0; i <= static_cast<int>(RouteReasonCode::ForeignRoute); ++i)
    reasons += std::string(to_string(static_cast<RouteReasonCode>(i))) + " ";
  EXPECT_EQ(reasons,
            "InvalidInput NativeApi MissingNativeValue TableLimit MissingPreferredAddress ResourceIdentity "
            "ResourceLimit Parse WitnessPlan EmptyWitnesses WitnessLimit NativeBudget WorkerBusy PriorWorker "
            "WorkerTimeout WorkerJoin SnapshotRead ForeignRoute ");
  std::string classes;
  for (int i = 0; i <= static_cast<int>(DestinationClass::OtherIpv6); ++i)
    classes += std::string(to_string(static_cast<DestinationClass>(i))) + " ";
  EXPECT_EQ(classes,
            "ZeroNet Loopback LinkLocal Private Multicast ReservedHigh240 LimitedBroadcast OtherIpv4 Ipv6Compatible "
            "Ipv4Mapped Unspecified Ula OtherIpv6 ");
  EXPECT_EQ(to_string(RouteStage::Recheck), "Recheck");
  EXPECT_EQ(to_string(RouteApi::BestRoute), "BestRoute");
  EXPECT_EQ(to_string(InterfaceKind::VirtualEthernet), "VirtualEthernet");
  EXPECT_EQ(to_string(QueryPass::Initial), "Initial");
  EXPECT_EQ(to_string(WitnessScope::Capture), "Capture");
}

TEST(RouteReasonLine, RepeatsAreCountedAndReportedWithTheNextDifferentFailure) {
  RouteReasonState state;
  const RouteReason alias = identity(RouteReasonCode::NativeApi, RouteApi::AliasToLuid, 1168);
  int lines = 0;
  for (int i = 0; i < 10; ++i) {
    RouteReason repeat = alias;
    repeat.point_ordinal = i;  // neither of these makes a failure new
    repeat.witness_count = static_cast<std::uint64_t>(i);
    lines += format_route_reason(state, repeat, std::chrono::milliseconds(17 + i), false).has_value();
  }
  EXPECT_EQ(lines, 1);
  const auto next = format_route_reason(state, identity(RouteReasonCode::MissingNativeValue),
                                        std::chrono::milliseconds(40), false);
  ASSERT_TRUE(next.has_value());
  EXPECT_THAT(*next, ::testing::EndsWith("elapsed_ms=40 identity_present=false previous_repetitions=9 "
                                         "previous_first_elapsed_ms=17"));
  // The same reason with another flag is a new failure.
  EXPECT_TRUE(format_route_reason(state, identity(RouteReasonCode::MissingNativeValue), {}, true).has_value());
  // An absent code differs from a present one.
  EXPECT_TRUE(format_route_reason(state, identity(RouteReasonCode::NativeApi, RouteApi::AliasToLuid), {}, true));
  EXPECT_TRUE(format_route_reason(state, alias, {}, true));
  EXPECT_FALSE(format_route_reason(state, alias, {}, true));
}

TEST(RouteReasonLine, CountSaturates) {
  RouteReasonState state;
  const RouteReason reason = identity(RouteReasonCode::TableLimit);
  ASSERT_TRUE(format_route_reason(state, reason, {}, false));
  state.repetitions = UINT64_MAX - 1;
  EXPECT_FALSE(format_route_reason(state, reason, {}, false));
  EXPECT_FALSE(format_route_reason(state, reason, {}, false));
  EXPECT_EQ(state.repetitions, UINT64_MAX);
  const auto line = format_route_reason(state, identity(RouteReasonCode::Parse), {}, false);
  EXPECT_THAT(*line, ::testing::HasSubstr("previous_repetitions=18446744073709551615 "));
}

TEST(RouteIdentityCapture, SuccessLeavesTheRecordAloneAndRepeatsAreNotLogged) {
  RouteReasonState state;
  std::vector<std::string> log;
  const auto push = [&](std::string line) { log.push_back(std::move(line)); };
  FakeIpHelper ip = running_tun();
  ip.luids.clear();
  EXPECT_FALSE(capture_tun_route_identity(ip, state, "Vorn-1a2b3c", 0, {}, {}, push));
  ASSERT_EQ(log.size(), 1u);
  EXPECT_THAT(log[0], ::testing::StartsWith("[route-reason] stage=Identity reason=NativeApi api=AliasToLuid "
                                            "api_code=Some(87) family=Unspecified"));
  EXPECT_THAT(log[0], ::testing::HasSubstr("identity_present=false previous_repetitions=0"));

  ip.luids["Vorn-1a2b3c"] = TUN_LUID;
  const auto captured = capture_tun_route_identity(ip, state, "Vorn-1a2b3c", 0, {"x"}, {}, push);
  ASSERT_TRUE(captured.has_value());
  EXPECT_EQ(captured->exclusions, std::vector<std::string>{"x"});
  EXPECT_EQ(state.repetitions, 0u);

  ip.luids.clear();
  EXPECT_FALSE(capture_tun_route_identity(ip, state, "Vorn-1a2b3c", 0, {}, {}, push));
  EXPECT_EQ(log.size(), 1u);  // counted, not logged
  EXPECT_EQ(state.repetitions, 1u);
}

TEST(RouteIdentityCapture, EngineFormWritesToTheEngineLog) {
  testing::FakePlatform fake;
  auto engine = HelperEngine::create(fake.platform);
  ASSERT_TRUE(engine.has_value());
  {
    // Other tests of this binary may have left a reason behind.
    const std::lock_guard guard(ROUTE_REASON_STATE.lock);
    ROUTE_REASON_STATE.last.reset();
  }
  const auto before = engine->logs(0).lines.size();
  EXPECT_FALSE(capture_tun_route_identity("not-ours", 0, {}, {}, *engine));
  EXPECT_FALSE(capture_tun_route_identity("not-ours", 0, {}, {}, *engine));
  const auto lines = engine->logs(0).lines;
  ASSERT_EQ(lines.size(), before + 1);
  EXPECT_THAT(lines.back(), ::testing::HasSubstr("[route-reason] stage=Identity reason=InvalidInput api=None api_code=None"));
}

}  // namespace
}  // namespace vorn
