#include "helper_engine/recovery.hpp"

#include "helper_engine/records_json.hpp"
#include "support/json.hpp"

namespace vorn {

std::uint64_t whole_ms_between(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
  if (to <= from) return 0;
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count());
}

RecoveryJournal RecoveryJournal::begin(RecoveryKind kind, std::uint64_t generation, RecoveryAdmission first,
                                       RecoveryAdmission second, std::chrono::steady_clock::time_point exit_seen) {
  RecoveryJournal journal;
  journal.started = exit_seen;
  journal.receipt.generation = generation;
  journal.receipt.attempt = 1;
  journal.receipt.kind = kind;
  journal.receipt.elapsed_ms = 0;
  journal.receipt.events.push_back(RecoveryEvent{
      .stage = RecoveryStage::Detected,
      .elapsed_ms = 0,
      .admitted = first.admitted && second.admitted,
      .same_generation = first.same_generation && second.same_generation,
      .owned_adapter_namespace = first.owned_adapter_namespace && second.owned_adapter_namespace,
      .trusted_spawn = false,
  });
  return journal;
}

std::optional<RecoveryReceipt> RecoveryJournal::record_stage(RecoveryStage stage, RecoveryAdmission before,
                                                             RecoveryAdmission now, bool trusted_spawn,
                                                             std::chrono::steady_clock::time_point at) {
  const std::size_t count = receipt.events.size();
  if (count < 1 || count > 3 || static_cast<std::size_t>(stage) != count) return std::nullopt;
  receipt.events.push_back(RecoveryEvent{
      .stage = stage,
      .elapsed_ms = whole_ms_between(started, at),
      .admitted = before.admitted && now.admitted,
      .same_generation = before.same_generation && now.same_generation,
      .owned_adapter_namespace = before.owned_adapter_namespace && now.owned_adapter_namespace,
      .trusted_spawn = trusted_spawn,
  });
  return receipt_at(at);
}

RecoveryReceipt RecoveryJournal::receipt_at(std::chrono::steady_clock::time_point at) const {
  RecoveryReceipt snapshot = receipt;
  snapshot.elapsed_ms = whole_ms_between(started, at);
  return snapshot;
}

std::optional<std::string> recovery_log_line(const RecoveryReceipt& receipt) {
  if (receipt.events.empty()) return std::nullopt;
  const RecoveryEvent& last = receipt.events.back();
  Json record = Json::object();
  record["admitted"] = last.admitted;
  record["attempt"] = receipt.attempt;
  record["elapsed_ms"] = last.elapsed_ms;
  record["generation"] = receipt.generation;
  record["kind"] = receipt.kind == RecoveryKind::Address ? "address" : "adapter";
  record["owned_adapter_namespace"] = last.owned_adapter_namespace;
  record["same_generation"] = last.same_generation;
  record["stage"] = recovery_stage_to_value(last.stage);
  record["trusted_spawn"] = last.trusted_spawn;
  return "[helper/recovery] " + record.dump();
}

}  // namespace vorn
