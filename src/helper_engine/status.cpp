// The status report.
#include <fmt/format.h>

#include "helper_engine/lifecycle.hpp"
#include "helper_engine/store.hpp"
#include "route_ownership/route_identity.hpp"
#include "tun/tun_settings.hpp"
#include "helper_engine/core_pins.hpp"

namespace vorn {

bool cleanup_confirmed_locked(const HelperEngine& engine, bool op_lock_held) {
  const EngineState& s = engine.state();
  return engine.in_flight().load() == 0 && op_lock_held && !s.stop_unconfirmed && !s.cleanup_pending &&
         engine.platform().files.presence(core_record_path(engine.platform().environment)) ==
             platform::Presence::Absent &&
         !s.core;
}

std::optional<TunRouteIdentity> capture_tun_route_identity(std::string name, std::uint64_t range,
                                                           std::vector<std::string> exclusions,
                                                           std::vector<BaselineBypass> baseline,
                                                           const HelperEngine& engine) {
  return capture_tun_route_identity(engine.platform().ip_helper, ROUTE_REASON_STATE, std::move(name), range,
                                    std::move(exclusions), std::move(baseline),
                                    [&engine](std::string line) { engine.push_log(std::move(line)); });
}

StatusData HelperEngine::status() const {
  std::lock_guard status_guard(status_lock());
  Clock& clk = clock();
  const auto t0 = clk.now();
  {
    InFlightGuard guard(*this);
    std::unique_lock op(op_lock(), std::try_to_lock);
    if (op.owns_lock()) {
      bool watcher = false;
      {
        std::lock_guard lock(state_lock());
        watcher = state().watcher_active;
      }
      if (!watcher) (void)refresh_core(*this, false);
    }
  }
  const std::uint64_t refresh_ms = clk.elapsed_ms(t0);

  const auto t1 = clk.now();
  std::unique_lock op(op_lock(), std::try_to_lock);
  const std::string name = current_adapter_name(*this);

  struct Snapshot {
    std::vector<std::string> exclusions;
    std::uint64_t stop_generation;
    std::uint64_t range;
    std::vector<BaselineBypass> baseline;
  };
  std::optional<Snapshot> snapshot;
  {
    std::lock_guard lock(state_lock());
    const EngineState& s = state();
    if (s.core && s.run) {
      const Json root = s.run->config.is_object() ? s.run->config : Json::object();
      snapshot = Snapshot{read_tun_settings(root).route_exclude_address, s.stop_generation, s.run->address_range,
                          s.run->baseline};
    }
  }
  std::optional<TunRouteIdentity> identity;
  if (snapshot) {
    identity = capture_tun_route_identity(name, snapshot->range, snapshot->exclusions, snapshot->baseline, *this);
  }

  const auto t2 = clk.now();
  const bool ready = core_ready_cached(platform());
  const std::uint64_t trusted_files_ms = clk.elapsed_ms(t2);

  StatusData data;
  std::uint64_t state_lock_ms = 0;
  {
    std::lock_guard lock(state_lock());
    state_lock_ms = clk.elapsed_ms(t1);
    const EngineState& s = state();
    data.running = s.core != nullptr;
    data.mode = s.mode;
    data.core_ready = ready;
    data.last_error = s.last_error;
    data.run_generation = s.run_generation;
    data.stop_authority = StopAuthority{instance(), s.stop_generation};
    data.run_start_ack = 1;
    if (s.recovery) data.recovery_receipt = s.recovery->receipt_at(clk.now());
    // The identity belongs to the core seen at the snapshot; a stop since
    // then (the generation moved on) makes it someone else's.
    if (snapshot && identity && snapshot->stop_generation == s.stop_generation && s.core) {
      data.tun_route_identity = std::move(identity);
    }
    data.cleanup_confirmed = cleanup_confirmed_locked(*this, op.owns_lock());
  }
  if (op.owns_lock()) op.unlock();

  push_log(fmt::format("[helper/timing] stage=status_check refresh_ms={} state_lock_ms={} trusted_files_ms={} "
                       "elapsed_ms={}",
                       refresh_ms, state_lock_ms, trusted_files_ms, clk.elapsed_ms(t0)));
  return data;
}

}  // namespace vorn
