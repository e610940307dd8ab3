// The JSON form of the reply records: key order, widths, and which absent
// values are null and which are left out.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "helper_service/wire.hpp"
#include "route_ownership/route_identity_json.hpp"

namespace vorn {
namespace {

constexpr std::uint64_t MAX64 = 18446744073709551615ull;

std::string compact(const Json& value) { return value.dump(); }

BaselineBypass lan() {
  return BaselineBypass{"192.168.1.0/24", 1689399632855040ull, 12, false, {"192.168.1.20/24", "192.168.1.7/24"}};
}

TunRouteIdentity identity() {
  return TunRouteIdentity{"Vorn-0a1b2c", MAX64, 1, 41, 42, {"203.0.113.9/32", "2001:db8::1/128"}, {lan()}};
}

RecoveryReceipt receipt() {
  return RecoveryReceipt{
      7, 255, RecoveryKind::Address, 1234,
      {RecoveryEvent{RecoveryStage::Detected, 0, true, true, false, false},
       RecoveryEvent{RecoveryStage::Live, MAX64, false, false, true, true}}};
}

TEST(WireValues, StatusWithoutOptionalValues) {
  StatusData data;
  EXPECT_EQ(compact(status_data_to_value(data)),
            R"({"cleanup_confirmed":null,"core_ready":false,"last_error":null,"mode":"none","running":false,)"
            R"("stop_authority":null,"tun_route_identity":null,"version":"0.12.12"})");
}

TEST(WireValues, StatusWithEveryValue) {
  StatusData data;
  data.tun_route_identity = identity();
  data.running = true;
  data.mode = "tun";
  data.core_ready = true;
  data.last_error = "E_CORE_ORPHAN: stale helper stop authority";
  data.stop_authority = StopAuthority{"inst", 3};
  data.cleanup_confirmed = false;
  data.run_generation = MAX64;
  data.run_start_ack = 1;
  data.recovery_receipt = receipt();
  EXPECT_EQ(compact(status_data_to_value(data)),
            R"({"cleanup_confirmed":false,"core_ready":true,)"
            R"("last_error":"E_CORE_ORPHAN: stale helper stop authority","mode":"tun",)"
            R"("recovery_receipt":{"attempt":255,"elapsed_ms":1234,"events":[)"
            R"({"admitted":true,"elapsed_ms":0,"owned_adapter_namespace":false,"same_generation":true,)"
            R"("stage":"detected","trusted_spawn":false},)"
            R"({"admitted":false,"elapsed_ms":18446744073709551615,"owned_adapter_namespace":true,)"
            R"("same_generation":false,"stage":"live","trusted_spawn":true}],"generation":7,"kind":"address"},)"
            R"("run_generation":18446744073709551615,"run_start_ack":1,"running":true,)"
            R"("stop_authority":{"generation":3,"instance":"inst"},)"
            R"("tun_route_identity":{"baseline_bypass":[{"addresses":["192.168.1.20/24","192.168.1.7/24"],)"
            R"("prefix":"192.168.1.0/24","v6":false,"wan_index":12,"wan_luid":1689399632855040}],)"
            R"("exclusions":["203.0.113.9/32","2001:db8::1/128"],"ipv4_index":41,"ipv6_index":42,)"
            R"("luid":18446744073709551615,"name":"Vorn-0a1b2c","range":1},"version":"0.12.12"})");
}

TEST(WireValues, ConnectReply) {
  const RunStartAck ack{1, true, StopAuthority{"6f1c", MAX64}, MAX64};
  EXPECT_EQ(serialize_response(ResponseOk{run_start_ack_to_value(ack)}),
            R"({"status":"ok","data":{"connected":true,"protocol":1,"run_generation":18446744073709551615,)"
            R"("stop_authority":{"generation":18446744073709551615,"instance":"6f1c"}}})");
}

TEST(WireValues, LogsReply) {
  EXPECT_EQ(compact(logs_data_to_value(LogsData{{"[helper] core stop confirmed", "[core:out] x"}, 12})),
            R"({"lines":["[helper] core stop confirmed","[core:out] x"],"next":12})");
  EXPECT_EQ(compact(logs_data_to_value(LogsData{})), R"({"lines":[],"next":0})");
}

TEST(WireValues, RecoveryNames) {
  EXPECT_EQ(recovery_stage_to_value(RecoveryStage::Detected), "detected");
  EXPECT_EQ(recovery_stage_to_value(RecoveryStage::Cleanup), "cleanup");
  EXPECT_EQ(recovery_stage_to_value(RecoveryStage::Spawn), "spawn");
  EXPECT_EQ(recovery_stage_to_value(RecoveryStage::Live), "live");
  RecoveryReceipt adapter;
  adapter.kind = RecoveryKind::Adapter;
  EXPECT_EQ(recovery_receipt_to_value(adapter)["kind"], "adapter");
}

TEST(WireValues, RouteIdentityKeepsEmptyListsAsArrays) {
  EXPECT_EQ(compact(tun_route_identity_to_value(TunRouteIdentity{"Vorn", 0, 0, 0, 0, {}, {}})),
            R"({"baseline_bypass":[],"exclusions":[],"ipv4_index":0,"ipv6_index":0,"luid":0,"name":"Vorn","range":0})");
  EXPECT_EQ(compact(baseline_bypass_to_value(BaselineBypass{"fd00:1::/64", 5, 4294967295u, true, {}})),
            R"({"addresses":[],"prefix":"fd00:1::/64","v6":true,"wan_index":4294967295,"wan_luid":5})");
}

}  // namespace
}  // namespace vorn
