// Stopping the core and the engine's three ways to end a run.
#include <fmt/format.h>

#include "core_image/core_image.hpp"
#include "helper_engine/core_process.hpp"
#include "helper_engine/lifecycle.hpp"
#include "helper_engine/orphan_errors.hpp"
#include "helper_engine/store.hpp"
#include "proc_guard/proc_guard.hpp"
#include "tun_adapter/adapter_cleanup.hpp"

namespace vorn {
namespace {

enum class RecordedStop { Confirmed, ConfirmedForced, Unconfirmed };

RecordedStop judge(const RecordOutcome& outcome) {
  if (std::holds_alternative<record_outcome::Absent>(outcome)) return RecordedStop::Confirmed;
  if (std::holds_alternative<record_outcome::Stale>(outcome)) return RecordedStop::Confirmed;
  if (auto* t = std::get_if<record_outcome::Terminated>(&outcome)) {
    return t->exited_in_time ? RecordedStop::ConfirmedForced : RecordedStop::Unconfirmed;
  }
  return RecordedStop::Unconfirmed;
}

}  // namespace

Result<bool> stop_core(const HelperEngine& engine) {
  auto& p = engine.platform();
  std::unique_ptr<platform::ChildProcess> child;
  std::shared_ptr<OutputWatch> watch;
  {
    // Every stop, also one with nothing to stop, makes the current authority
    // and run stale: the exit watcher ends at its next check.
    std::lock_guard lock(engine.state_lock());
    EngineState& state = engine.state();
    state.recovery.reset();
    state.mode = "stopping";
    state.stop_unconfirmed = true;
    if (state.run) watch = state.run->watch;
    state.run.reset();
    state.run_generation += 1;
    state.stop_generation += 1;
    state.watcher_active = false;
    child = std::move(state.core);
  }
  const std::string record_path = core_record_path(p.environment);

  bool forced = false;
  if (child) {
    auto outcome = stop_child(std::move(child), p.console, engine.clock());
    if (auto* kept = std::get_if<ChildUnconfirmed>(&outcome)) {
      {
        std::lock_guard lock(engine.state_lock());
        EngineState& state = engine.state();
        state.core = std::move(kept->child);
        state.cleanup_pending = true;
        state.last_error = orphan::OWN_STOP_UNCONFIRMED;
      }
      return fail(orphan::OWN_STOP_UNCONFIRMED);
    }
    forced = std::get<ChildStopped>(outcome).forced;
    {
      std::lock_guard lock(engine.state_lock());
      engine.state().cleanup_pending = engine.state().cleanup_pending || forced;
    }
    remove_proc_record(p.files, record_path);
    engine.push_log("[helper] core stop confirmed");
    if (watch) (void)release_output_pumps(*watch, engine.clock(), OUTPUT_RELEASE_POLL);
  }

  // A record that no held child explains: a core of an earlier run, or a
  // record whose removal failed.
  const auto recorded = judge(stop_recorded_core(p, record_path, trusted_core_path(p.environment),
                                                 WaitSpan{static_cast<std::uint64_t>(RECORDED_CORE_TEARDOWN_WAIT.count()), 0}));
  if (recorded == RecordedStop::Unconfirmed) {
    {
      std::lock_guard lock(engine.state_lock());
      engine.state().last_error = orphan::RECORDED_STOP_UNCONFIRMED;
    }
    return fail(orphan::RECORDED_STOP_UNCONFIRMED);
  }
  forced = forced || recorded == RecordedStop::ConfirmedForced;
  std::lock_guard lock(engine.state_lock());
  EngineState& state = engine.state();
  state.stop_unconfirmed = false;
  state.cleanup_pending = state.cleanup_pending || forced;
  state.mode = "none";
  return forced;
}

Status run_adapter_cleanup_stage(const HelperEngine& engine) {
  Clock& clock = engine.clock();
  const auto start = clock.now();
  {
    std::lock_guard lock(engine.state_lock());
    engine.state().cleanup_pending = true;
  }
  auto removed = run_adapter_cleanup_bounded(engine.platform().devices, ADAPTER_CLEANUP_LIMIT);
  if (!removed) {
    const std::string text = removed.error().full();
    engine.push_log(fmt::format("[helper/timing] stage=adapter_cleanup outcome=error elapsed_ms={}",
                                clock.elapsed_ms(start)));
    engine.push_log(fmt::format("[helper] ERROR {}", text));
    return fail(text);
  }
  {
    std::lock_guard lock(engine.state_lock());
    engine.state().cleanup_pending = false;
  }
  engine.push_log(
      fmt::format("[helper/timing] stage=adapter_cleanup outcome=ok elapsed_ms={}", clock.elapsed_ms(start)));
  for (const auto& message : *removed) engine.push_log(fmt::format("[helper] {}", message));
  return {};
}

Status disconnect_core(const HelperEngine& engine) {
  if (auto stopped = stop_core(engine); !stopped) return fail(stopped.error());
  bool owed = false;
  {
    std::lock_guard lock(engine.state_lock());
    owed = engine.state().cleanup_pending;
  }
  if (owed) return run_adapter_cleanup_stage(engine);
  return {};
}

Status HelperEngine::disconnect() const {
  std::lock_guard op(op_lock());
  std::lock_guard lock(state_lock());
  const EngineState& s = state();
  // The record test runs last and under both locks: an error of the test
  // counts as a record present.
  const bool nothing_owned =
      !s.core && !s.stop_unconfirmed && !s.cleanup_pending && in_flight().load() == 0 &&
      platform().files.presence(core_record_path(platform().environment)) == platform::Presence::Absent;
  if (!nothing_owned) return fail(orphan::AUTHORITY_REQUIRED);
  return {};
}

Status HelperEngine::disconnect_owned(const StopAuthority& authority) const {
  InFlightGuard guard(*this);
  std::lock_guard op(op_lock());
  std::uint64_t current = 0;
  {
    std::lock_guard lock(state_lock());
    current = state().stop_generation;
  }
  // Exact comparison: an instance differing only in letter case is another
  // helper run's.
  if (authority.generation != current || authority.instance != instance()) return fail(orphan::STALE_AUTHORITY);
  return disconnect_core(*this);
}

Status HelperEngine::cleanup_owned() const {
  InFlightGuard guard(*this);
  std::lock_guard op(op_lock());
  return disconnect_core(*this);
}

}  // namespace vorn
