// The journal of one retry after an early core exit: its stages as they
// happen, the receipt that "status" reports, and the log line of each stage.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "helper_engine/records.hpp"

namespace vorn {

// Three facts captured around a stage: the service is not stopping, the run
// is still the one the retry was decided for, and the adapter name is ours.
struct RecoveryAdmission {
  bool admitted = false;
  bool same_generation = false;
  bool owned_adapter_namespace = false;
};

// The receipt under construction; its elapsed time is computed whenever a
// snapshot is taken.
struct RecoveryJournal {
  RecoveryReceipt receipt;  // elapsed_ms stays 0 here
  std::chrono::steady_clock::time_point started;  // when the exit was seen

  // A journal for a retry just decided, holding its `detected` event.
  static RecoveryJournal begin(RecoveryKind kind, std::uint64_t generation, RecoveryAdmission first,
                               RecoveryAdmission second, std::chrono::steady_clock::time_point exit_seen);

  // Appends `stage` only in its turn (cleanup after detected, spawn after
  // cleanup, live after spawn); each flag is the AND of the admission taken
  // before the stage and the one taken now. The receipt after the append, or
  // nullopt when nothing was appended.
  std::optional<RecoveryReceipt> record_stage(RecoveryStage stage, RecoveryAdmission before, RecoveryAdmission now,
                                              bool trusted_spawn, std::chrono::steady_clock::time_point at);

  RecoveryReceipt receipt_at(std::chrono::steady_clock::time_point at) const;
};

// Whole milliseconds from `from` to `to`, 0 when `to` lies before `from`.
std::uint64_t whole_ms_between(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to);

// "[helper/recovery] " and the nine-key compact JSON record of the receipt's
// last event; nullopt when the receipt holds no event.
std::optional<std::string> recovery_log_line(const RecoveryReceipt& receipt);

}  // namespace vorn
