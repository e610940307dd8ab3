#include "helper_engine/records_json.hpp"

#include <cstdint>
#include <string_view>

#include "route_ownership/route_identity_json.hpp"

namespace vorn {
namespace {

std::string_view recovery_kind_name(RecoveryKind kind) {
  return kind == RecoveryKind::Adapter ? "adapter" : "address";
}

}  // namespace

Json status_data_to_value(const StatusData& data) {
  Json value = Json::object();
  value["tun_route_identity"] =
      data.tun_route_identity ? tun_route_identity_to_value(*data.tun_route_identity) : Json(nullptr);
  value["version"] = data.version;
  value["running"] = data.running;
  value["mode"] = data.mode;
  value["core_ready"] = data.core_ready;
  value["last_error"] = data.last_error ? Json(*data.last_error) : Json(nullptr);
  value["stop_authority"] = data.stop_authority ? stop_authority_to_value(*data.stop_authority) : Json(nullptr);
  value["cleanup_confirmed"] = data.cleanup_confirmed ? Json(*data.cleanup_confirmed) : Json(nullptr);
  if (data.run_generation) value["run_generation"] = *data.run_generation;
  if (data.run_start_ack) value["run_start_ack"] = *data.run_start_ack;
  if (data.recovery_receipt) value["recovery_receipt"] = recovery_receipt_to_value(*data.recovery_receipt);
  return value;
}

Json run_start_ack_to_value(const RunStartAck& ack) {
  Json value = Json::object();
  value["protocol"] = ack.protocol;
  value["connected"] = ack.connected;
  value["stop_authority"] = stop_authority_to_value(ack.stop_authority);
  value["run_generation"] = ack.run_generation;
  return value;
}

Json logs_data_to_value(const LogsData& data) {
  Json value = Json::object();
  value["lines"] = data.lines;
  value["next"] = data.next;
  return value;
}

Json stop_authority_to_value(const StopAuthority& authority) {
  Json value = Json::object();
  value["instance"] = authority.instance;
  value["generation"] = authority.generation;
  return value;
}

Json recovery_receipt_to_value(const RecoveryReceipt& receipt) {
  Json events = Json::array();
  for (const RecoveryEvent& event : receipt.events) events.push_back(recovery_event_to_value(event));
  Json value = Json::object();
  value["generation"] = receipt.generation;
  // Widened so that the library writes a number, not a character.
  value["attempt"] = static_cast<std::uint64_t>(receipt.attempt);
  value["kind"] = recovery_kind_name(receipt.kind);
  value["elapsed_ms"] = receipt.elapsed_ms;
  value["events"] = std::move(events);
  return value;
}

Json recovery_event_to_value(const RecoveryEvent& event) {
  Json value = Json::object();
  value["stage"] = recovery_stage_to_value(event.stage);
  value["elapsed_ms"] = event.elapsed_ms;
  value["admitted"] = event.admitted;
  value["same_generation"] = event.same_generation;
  value["owned_adapter_namespace"] = event.owned_adapter_namespace;
  value["trusted_spawn"] = event.trusted_spawn;
  return value;
}

Json recovery_stage_to_value(RecoveryStage stage) {
  switch (stage) {
    case RecoveryStage::Detected:
      return "detected";
    case RecoveryStage::Cleanup:
      return "cleanup";
    case RecoveryStage::Spawn:
      return "spawn";
    case RecoveryStage::Live:
      return "live";
  }
  return "detected";
}

}  // namespace vorn
