// The exit watch after every connect and the one retry per kind after an
// early core exit.
#include <fmt/format.h>

#include "helper_engine/core_process.hpp"
#include "helper_engine/lifecycle.hpp"
#include "helper_engine/orphan_errors.hpp"
#include "helper_engine/store.hpp"
#include "proc_guard/proc_guard.hpp"
#include "tun/address_ranges.hpp"
#include "tun_adapter/adapter_names.hpp"

namespace vorn {
namespace {

constexpr const char* ADDRESS_GIVE_UP_LINE =
    "[helper] ERROR both Vorn TUN address ranges are taken by other adapters \u2014 giving up (not retrying again); "
    "the other client's tunnel has to be closed";
constexpr const char* ADAPTER_GIVE_UP_LINE =
    "[helper] ERROR the TUN adapter failed the same way under a fresh name too \u2014 giving up (not retrying again); "
    "a reboot or removing the adapter in Device Manager is needed";

std::string range_text(std::uint64_t range) {
  const auto& entry = TUN_ADDRESS_RANGES[range != 0 ? 1 : 0];
  return fmt::format("{} + {}", entry.ipv4, entry.ipv6);
}

void log_recovery_event(const HelperEngine& engine, const RecoveryReceipt& receipt) {
  if (auto line = recovery_log_line(receipt)) engine.push_log(std::move(*line));
}

// Ends the run; a core whose stop a failed relaunch left unconfirmed stays
// held so that a later stop deals with it.
bool give_up(const HelperEngine& engine, const std::string& text) {
  std::lock_guard lock(engine.state_lock());
  EngineState& state = engine.state();
  if (state.core && state.stop_unconfirmed) {
    state.run.reset();
    return false;
  }
  state.core.reset();
  state.stop_generation += 1;
  state.stop_unconfirmed = false;
  state.mode = "none";
  state.run.reset();
  state.last_error = text;
  return false;
}

Result<RunningCore> relaunch_for_recovery(const HelperEngine& engine, RecoveryAdmission before, std::uint64_t generation,
                                          const std::string& name, const Json& config, std::uint64_t range,
                                          bool kill_switch) {
  record_recovery_event(engine, RecoveryStage::Cleanup, before, generation, name, false);
  const RecoveryAdmission at_spawn = recovery_admission(engine, generation, name);
  auto launched = launch_core(engine, config, name, range, kill_switch);
  if (launched) record_recovery_event(engine, RecoveryStage::Spawn, at_spawn, generation, name, true);
  return launched;
}

}  // namespace

RecoveryAdmission recovery_admission(const HelperEngine& engine, std::uint64_t generation, const std::string& name) {
  const bool stopping = engine.stopping().load();
  RecoveryAdmission admission;
  {
    std::lock_guard lock(engine.state_lock());
    admission.same_generation = generation == engine.state().run_generation;
  }
  admission.owned_adapter_namespace = is_own_adapter_name(name);
  admission.admitted = !stopping;
  return admission;
}

void record_recovery_event(const HelperEngine& engine, RecoveryStage stage, RecoveryAdmission before,
                           std::uint64_t generation, const std::string& name, bool trusted_spawn) {
  const RecoveryAdmission now = recovery_admission(engine, generation, name);
  std::optional<RecoveryReceipt> receipt;
  {
    std::lock_guard lock(engine.state_lock());
    if (auto& journal = engine.state().recovery) {
      receipt = journal->record_stage(stage, before, now, trusted_spawn, engine.clock().now());
    }
  }
  if (receipt) log_recovery_event(engine, *receipt);
}

bool refresh_core(const HelperEngine& engine, bool allow_retry) {
  auto& p = engine.platform();
  Clock& clock = engine.clock();

  std::optional<std::uint64_t> live_pending;
  {
    std::lock_guard lock(engine.state_lock());
    const auto& journal = engine.state().recovery;
    if (journal && journal->receipt.events.size() == 3) live_pending = journal->receipt.generation;
  }
  std::string live_name;
  RecoveryAdmission before_live;
  if (live_pending) {
    live_name = current_adapter_name(engine);
    before_live = recovery_admission(engine, *live_pending, live_name);
  }

  std::chrono::steady_clock::time_point exit_seen;
  std::string exit_message;
  std::shared_ptr<OutputWatch> watch;
  {
    std::unique_lock lock(engine.state_lock());
    EngineState& state = engine.state();
    if (!state.core) return false;
    auto status = state.core->exit_status();
    if (!status) {
      state.last_error = std::string(orphan::OWN_WAIT_UNCONFIRMED_PREFIX) + status.error().full();
      state.stop_unconfirmed = true;
      return true;
    }
    if (!status->has_value()) {
      lock.unlock();
      if (live_pending) record_recovery_event(engine, RecoveryStage::Live, before_live, *live_pending, live_name, true);
      return true;
    }
    exit_seen = clock.now();
    state.stop_unconfirmed = false;
    exit_message = "core exited: " + exit_code_text(**status);
    if (state.run) watch = state.run->watch;
  }

  // The flags are read once both pumps have ended, or after a bounded wait.
  // The core is gone, so the pumps need not wait for an end of stream that a
  // process holding the write end may never give.
  if (watch) (void)release_output_pumps(*watch, clock, OUTPUT_DRAIN_POLL);
  {
    std::lock_guard lock(engine.state_lock());
    engine.state().cleanup_pending = true;
  }
  remove_proc_record(p.files, core_record_path(p.environment));

  enum class Decision { None, Address, Adapter };
  Decision decision = Decision::None;
  bool address_exhausted = false;
  bool adapter_exhausted = false;
  Json config;
  bool kill_switch = false;
  std::uint64_t run_range = 0;
  bool no_run = false;
  {
    std::lock_guard lock(engine.state_lock());
    const auto& run = engine.state().run;
    no_run = !run;
    if (run) {
    const bool address = run->watch && run->watch->address_conflict.load();
    const bool adapter = run->watch && run->watch->adapter_failed.load();
    address_exhausted = address && run->address_retried;
    adapter_exhausted = adapter && run->adapter_retried;
    if (allow_retry) {
      if (address) {
        if (!run->address_retried) decision = Decision::Address;
      } else if (adapter && !run->adapter_retried) {
        decision = Decision::Adapter;
      }
    }
    config = run->config;
    kill_switch = run->kill_switch;
    run_range = run->address_range;
    }
  }
  // An exit with no run (a failed relaunch kept its core) ends without a line.
  if (no_run) return give_up(engine, exit_message);
  const std::string give_up_text =
      address_exhausted ? ADDRESS_GIVE_UP_TEXT : (adapter_exhausted ? ADAPTER_GIVE_UP_TEXT : exit_message);

  if (decision == Decision::None) {
    if (address_exhausted) {
      engine.push_log(ADDRESS_GIVE_UP_LINE);
    } else if (adapter_exhausted) {
      engine.push_log(ADAPTER_GIVE_UP_LINE);
    }
    return give_up(engine, give_up_text);
  }

  std::string name;
  std::uint64_t new_range = run_range;
  RecoveryKind kind = RecoveryKind::Address;
  if (decision == Decision::Address) {
    const std::uint64_t current = run_range != 0 ? 1 : 0;
    new_range = current == 0 ? 1 : 0;
    engine.push_log(fmt::format(
        "[helper] WARN the TUN address {} is taken by another adapter (another client's tunnel?) \u2014 retrying ONCE "
        "on {}",
        range_text(current), range_text(new_range)));
    name = current_adapter_name(engine);
  } else {
    kind = RecoveryKind::Adapter;
    auto fresh = new_adapter_name(p.random);
    if (!fresh) {
      engine.push_log(fmt::format("[helper] ERROR the retry could not start the core: {}", fresh.error().full()));
      return give_up(engine, give_up_text);
    }
    name = std::move(*fresh);
    engine.push_log(fmt::format(
        "[helper] WARN the TUN adapter identity or its local stack address was unavailable during startup \u2014 "
        "removing stale adapters and retrying ONCE as {}",
        name));
  }

  std::uint64_t generation = 0;
  {
    std::lock_guard lock(engine.state_lock());
    generation = engine.state().run_generation;
  }
  const RecoveryAdmission first = recovery_admission(engine, generation, name);
  const RecoveryAdmission second = recovery_admission(engine, generation, name);
  RecoveryJournal journal = RecoveryJournal::begin(kind, generation, first, second, exit_seen);
  const RecoveryReceipt detected = journal.receipt_at(exit_seen);
  {
    std::lock_guard lock(engine.state_lock());
    engine.state().recovery = std::move(journal);
  }
  log_recovery_event(engine, detected);

  const RecoveryAdmission before_cleanup = recovery_admission(engine, generation, name);
  if (auto cleaned = run_adapter_cleanup_stage(engine); !cleaned) {
    engine.push_log(fmt::format("[helper] ERROR the retry could not start the core: {}", cleaned.error().full()));
    return give_up(engine, give_up_text);
  }
  auto relaunched = relaunch_for_recovery(engine, before_cleanup, generation, name, config, new_range, kill_switch);
  if (!relaunched) {
    engine.push_log(fmt::format("[helper] ERROR the retry could not start the core: {}", relaunched.error().full()));
    return give_up(engine, give_up_text);
  }

  if (decision == Decision::Address) {
    save_address_range(engine, new_range);
  } else {
    save_adapter_name(engine, name);
  }
  std::lock_guard lock(engine.state_lock());
  EngineState& state = engine.state();
  state.core = std::move(relaunched->child);
  state.stop_generation += 1;
  if (state.run) {
    if (decision == Decision::Address) {
      state.run->address_retried = true;
    } else {
      state.run->adapter_retried = true;
    }
    state.run->address_range = new_range;
    state.run->watch = relaunched->watch;
  }
  return true;
}

std::optional<InFlightGuard> watch_gate(const HelperEngine& engine, std::uint64_t generation) {
  std::lock_guard lock(engine.state_lock());
  if (engine.state().run_generation != generation) return std::nullopt;
  return std::optional<InFlightGuard>(std::in_place, engine);
}

CoreWatchGuard::~CoreWatchGuard() {
  std::lock_guard lock(engine_.state_lock());
  if (engine_.state().run_generation == generation_) engine_.state().watcher_active = false;
}

void watch_core_exit(InFlightGuard handoff, HelperEngine engine, std::uint64_t generation) {
  { InFlightGuard released = std::move(handoff); }
  CoreWatchGuard watching(engine, generation);
  Clock& clock = engine.clock();
  const auto started = clock.now();
  for (;;) {
    clock.sleep(WATCH_PERIOD);
    auto gate = watch_gate(engine, generation);
    if (!gate) return;
    std::lock_guard op(engine.op_lock());
    if (engine.stopping().load()) return;
    {
      std::lock_guard lock(engine.state_lock());
      if (engine.state().run_generation != generation) return;
    }
    if (clock.now() - started > WATCH_LIFETIME) return;
    if (!refresh_core(engine, true)) return;
  }
}

}  // namespace vorn
