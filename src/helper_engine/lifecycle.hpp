// The steps of the core lifecycle that the engine's operations share: launch,
// stop, the adapter cleanup stage, the exit watch with its one retry per kind,
// and the adapter name and address range the next launch uses. Every function
// here expects the caller to hold the engine's operation lock unless it says
// otherwise.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "helper_engine/engine.hpp"
#include "helper_engine/recovery.hpp"
#include "support/error.hpp"
#include "support/json.hpp"

namespace vorn {

inline constexpr std::chrono::milliseconds WATCH_PERIOD{200};
inline constexpr std::chrono::seconds WATCH_LIFETIME{90};
inline constexpr std::chrono::seconds RECORDED_CORE_TEARDOWN_WAIT{3};

inline constexpr const char* CORE_NOT_PROVISIONED = "helper: core not provisioned (run ProvisionCore first)";

inline constexpr const char* ADDRESS_GIVE_UP_TEXT =
    "both Vorn TUN address ranges are taken by other adapters \u2014 giving up (not retrying again)";
inline constexpr const char* ADAPTER_GIVE_UP_TEXT =
    "the TUN adapter failed the same way under a fresh name too \u2014 giving up (not retrying again)";

// A launched core: its child (output pipes already with the pumps) and the
// flags its pumps raise.
struct RunningCore {
  std::unique_ptr<platform::ChildProcess> child;
  std::shared_ptr<OutputWatch> watch;
};

// The adapter name for the next launch: the stored one, else the name file's
// when it is ours, else "Vorn". Takes the state lock.
std::string current_adapter_name(const HelperEngine& engine);
// The state first, then the file; a failed write is only logged.
void save_adapter_name(const HelperEngine& engine, const std::string& name);
void save_address_range(const HelperEngine& engine, std::uint64_t range);

// "[helper] starting core (adapter {}, address {}, kill_switch={})".
std::string core_start_line(std::string_view adapter_name, std::uint64_t range, bool kill_switch);

Result<RunningCore> launch_core(const HelperEngine& engine, const Json& config, const std::string& adapter_name,
                                std::uint64_t range, bool kill_switch);

// True when the stop had to force something (a termination), which leaves an
// adapter cleanup owed.
Result<bool> stop_core(const HelperEngine& engine);
Status disconnect_core(const HelperEngine& engine);
Status run_adapter_cleanup_stage(const HelperEngine& engine);

// The exit watcher's thread body; the hand-off guard ends as soon as it runs.
void watch_core_exit(InFlightGuard handoff, HelperEngine engine, std::uint64_t generation);

// A guard taken under the state lock while `generation` is still current.
std::optional<InFlightGuard> watch_gate(const HelperEngine& engine, std::uint64_t generation);

// Clears `watcher_active` when it ends, unless a newer run has begun.
class CoreWatchGuard {
 public:
  CoreWatchGuard(HelperEngine engine, std::uint64_t generation) : engine_(std::move(engine)), generation_(generation) {}
  CoreWatchGuard(const CoreWatchGuard&) = delete;
  CoreWatchGuard& operator=(const CoreWatchGuard&) = delete;
  ~CoreWatchGuard();

 private:
  HelperEngine engine_;
  std::uint64_t generation_;
};

// True while a core is held and the watch should go on; false when none is
// held or the run was given up.
bool refresh_core(const HelperEngine& engine, bool allow_retry);

RecoveryAdmission recovery_admission(const HelperEngine& engine, std::uint64_t generation, const std::string& name);
void record_recovery_event(const HelperEngine& engine, RecoveryStage stage, RecoveryAdmission before,
                           std::uint64_t generation, const std::string& name, bool trusted_spawn);

// Whether everything the engine owned is provably gone; the caller holds the
// state lock and, when `op_lock_held`, the operation lock.
bool cleanup_confirmed_locked(const HelperEngine& engine, bool op_lock_held);

}  // namespace vorn
