// "connect" and the launch of one core process.
#include <exception>

#include <fmt/format.h>

#include "core_image/core_image.hpp"
#include "helper_engine/core_process.hpp"
#include "helper_engine/lifecycle.hpp"
#include "helper_engine/orphan_errors.hpp"
#include "helper_engine/sanitize_core_config.hpp"
#include "helper_engine/store.hpp"
#include "helper_engine/tun_files.hpp"
#include "proc_guard/proc_guard.hpp"
#include "route_ownership/bypass_snapshot.hpp"
#include "tun/address_ranges.hpp"
#include "tun/launch_config.hpp"
#include "tun_adapter/adapter_names.hpp"
#include "helper_engine/core_pins.hpp"

namespace vorn {
namespace {

std::string timing_line(std::string_view stage, std::uint64_t ms) {
  return fmt::format("[helper/timing] stage={} elapsed_ms={}", stage, ms);
}

const TunAddressRange& range_entry(std::uint64_t range) { return TUN_ADDRESS_RANGES[range != 0 ? 1 : 0]; }

// A new core whose exit could not be proved, kept for a later stop to deal
// with; with the state lock held.
void hold_unconfirmed_core(EngineState& state, std::unique_ptr<platform::ChildProcess> child) {
  state.core = std::move(child);
  state.stop_generation += 1;
  state.stop_unconfirmed = true;
  state.mode = "stopping";
}

// A new core that must not run unowned: stopped before it ever ran, or kept
// as unconfirmed so that a later stop deals with it.
void abandon_new_core(const HelperEngine& engine, std::unique_ptr<platform::ChildProcess> child) {
  auto outcome = stop_held_child(std::move(child), engine.clock());
  std::lock_guard lock(engine.state_lock());
  EngineState& state = engine.state();
  state.cleanup_pending = true;
  state.last_error = orphan::RECORD_NOT_SAVED;
  if (auto* kept = std::get_if<ChildUnconfirmed>(&outcome)) hold_unconfirmed_core(state, std::move(kept->child));
}

// A recorded core that could not be let go as a served, running core: it is
// still held and has never run, so it is terminated; its record goes once
// the exit is proved, as a stop would remove it. An exit that cannot be
// proved keeps the core and its record, so that a later stop deals with
// both, and the error says that a core may be left behind.
Error give_up_recorded_core(const HelperEngine& engine, std::unique_ptr<platform::ChildProcess> child,
                            OutputWatch& watch, const std::string& record_path, Error cause) {
  auto& p = engine.platform();
  auto outcome = stop_held_child(std::move(child), engine.clock());
  {
    std::lock_guard lock(engine.state_lock());
    EngineState& state = engine.state();
    state.cleanup_pending = true;
    if (auto* kept = std::get_if<ChildUnconfirmed>(&outcome)) {
      hold_unconfirmed_core(state, std::move(kept->child));
      state.last_error = orphan::OWN_STOP_UNCONFIRMED;
      return std::move(cause).context(orphan::OWN_STOP_UNCONFIRMED);
    }
  }
  remove_proc_record(p.files, record_path);
  (void)release_output_pumps(watch, engine.clock(), OUTPUT_RELEASE_POLL);
  return cause;
}

// The exit watcher of the committed run, on its own detached thread; what
// the thread start throws becomes the error.
Status start_exit_watcher(const HelperEngine& engine, std::uint64_t run_generation) {
  try {
    InFlightGuard handoff(engine);
    engine.platform().processes.start_detached_thread(
        [handoff = std::move(handoff), engine, run_generation]() mutable {
          watch_core_exit(std::move(handoff), std::move(engine), run_generation);
        });
  } catch (...) {
    return fail(fmt::format("helper: could not start the core exit watcher: {}",
                            thread_start_error_text(std::current_exception())));
  }
  return {};
}

}  // namespace

std::string current_adapter_name(const HelperEngine& engine) {
  std::lock_guard lock(engine.state_lock());
  EngineState& state = engine.state();
  if (!state.adapter_name) {
    auto stored = read_adapter_name_file(engine.platform().files, adapter_name_path(engine.platform().environment));
    if (stored && is_own_adapter_name(*stored)) {
      state.adapter_name = std::move(*stored);
    } else {
      state.adapter_name = std::string(DEFAULT_ADAPTER_NAME);
    }
  }
  return *state.adapter_name;
}

void save_adapter_name(const HelperEngine& engine, const std::string& name) {
  {
    std::lock_guard lock(engine.state_lock());
    engine.state().adapter_name = name;
  }
  auto& p = engine.platform();
  if (auto written = p.files.write_file(adapter_name_path(p.environment), name); !written) {
    engine.push_log(fmt::format("[helper] could not save the adapter name: {}", written.error().full()));
  }
}

void save_address_range(const HelperEngine& engine, std::uint64_t range) {
  {
    std::lock_guard lock(engine.state_lock());
    engine.state().address_range = range;
  }
  auto& p = engine.platform();
  if (auto written = p.files.write_file(address_range_path(p.environment), std::to_string(range)); !written) {
    engine.push_log(fmt::format("[helper] could not save the address range: {}", written.error().full()));
  }
}

std::string core_start_line(std::string_view adapter_name, std::uint64_t range, bool kill_switch) {
  const auto& entry = range_entry(range);
  return fmt::format("[helper] starting core (adapter {}, address {} + {}, kill_switch={})", adapter_name, entry.ipv4,
                     entry.ipv6, kill_switch);
}

Result<RunningCore> launch_core(const HelperEngine& engine, const Json& config, const std::string& adapter_name,
                                std::uint64_t range, bool kill_switch) {
  if (engine.stopping().load()) return fail(orphan::SERVICE_STOPPING);
  auto& p = engine.platform();
  Clock& clock = engine.clock();
  const auto t0 = clock.now();

  const std::string store = helper_data_dir(p.environment);
  const std::string active_path = join_path(store, ACTIVE_CONFIG_FILE);
  (void)p.files.create_directories(store);
  auto rendered = render_launch_config(config, adapter_name, range);
  if (!rendered) return fail(rendered.error());
  if (auto written = p.files.write_file(active_path, *rendered); !written) {
    return fail(written.error().context("helper: write active config"));
  }
  engine.push_log(core_start_line(adapter_name, range, kill_switch));

  const std::string core_path = trusted_core_path(p.environment);
  auto stage_start = clock.now();
  auto bytes = p.files.read_file(core_path);
  engine.push_log(timing_line("launch_core_read", clock.elapsed_ms(stage_start)));
  if (!bytes) return fail(bytes.error().context("helper: read trusted core"));

  stage_start = clock.now();
  auto verified = verify_core_hash(*bytes, "launch");
  engine.push_log(timing_line("launch_core_hash", clock.elapsed_ms(stage_start)));
  if (!verified) return fail(verified.error());

  stage_start = clock.now();
  auto image = install_private_core_image(p, core_path, *bytes);
  engine.push_log(timing_line("launch_runtime_prepare", clock.elapsed_ms(stage_start)));
  if (!image) return fail(image.error());

  const auto command = core_launch_command(*image, active_path, core_dir(p.environment));
  stage_start = clock.now();
  auto spawned = p.processes.spawn(command);
  engine.push_log(timing_line("launch_process_spawn", clock.elapsed_ms(stage_start)));
  if (!spawned) return fail(spawned.error().context("helper: failed to spawn core"));
  std::unique_ptr<platform::ChildProcess> child = std::move(*spawned);
  engine.push_log(timing_line("verified_core_spawn", clock.elapsed_ms(t0)));

  const std::string record_path = core_record_path(p.environment);
  if (!record_process(p, record_path, child->pid())) {
    abandon_new_core(engine, std::move(child));
    return fail(orphan::RECORD_NOT_SAVED);
  }

  // Recorded: the pumps start while the core is still held, then it is let
  // go. Until the limit is lifted, the helper's death still takes the core
  // with it; from then on the record proves whose it is.
  auto watch = std::make_shared<OutputWatch>();
  Status released = spawn_stdout_pump(engine.log(), child->take_stdout(), watch, p.processes);
  if (released) released = spawn_stderr_pump(engine.log(), child->take_stderr(), watch, p.processes);
  if (released) {
    if (auto lifted = child->lift_kill_on_close(); !lifted) {
      released = fail(std::move(lifted.error()).context("helper: could not lift the core's kill-on-close limit"));
    }
  }
  if (released) {
    if (auto resumed = child->resume(); !resumed) {
      released = fail(std::move(resumed.error()).context("helper: could not resume the core"));
    }
  }
  if (!released) return fail(give_up_recorded_core(engine, std::move(child), *watch, record_path, released.error()));
  return RunningCore{std::move(child), std::move(watch)};
}

Result<RunStartAck> HelperEngine::connect(std::string_view config_json, bool kill_switch) const {
  InFlightGuard guard(*this);
  Clock& clk = clock();
  const auto t0 = clk.now();
  std::unique_lock op(op_lock());
  if (stopping().load()) return fail(orphan::SERVICE_STOPPING);
  push_log(timing_line("operation_lock", clk.elapsed_ms(t0)));

  const auto t1 = clk.now();
  if (auto stopped = stop_core(*this); !stopped) return fail(stopped.error());
  push_log(timing_line("previous_core_stop", clk.elapsed_ms(t1)));

  if (!core_files_trusted(platform())) return fail(CORE_NOT_PROVISIONED);
  std::vector<BaselineBypass> baseline = snapshot_baseline_bypass(platform().ip_helper);
  auto config = sanitize_core_config(config_json, kill_switch);
  if (!config) return fail(config.error());
  if (auto cleaned = run_adapter_cleanup_stage(*this); !cleaned) return fail(cleaned.error());

  const std::string name = current_adapter_name(*this);
  std::uint64_t range = 0;
  {
    std::lock_guard lock(state_lock());
    EngineState& state = this->state();
    if (!state.address_range) {
      state.address_range = read_address_range_file(platform().files, address_range_path(platform().environment));
    }
    range = *state.address_range;
  }

  auto running = launch_core(*this, *config, name, range, kill_switch);
  if (!running) return fail(running.error());

  std::uint64_t run_generation = 0;
  std::uint64_t stop_generation = 0;
  {
    std::lock_guard lock(state_lock());
    EngineState& state = this->state();
    state.core = std::move(running->child);
    state.stop_generation += 1;
    state.stop_unconfirmed = false;
    state.mode = "tun";
    state.last_error.reset();
    state.run = ActiveRun{
        .baseline = std::move(baseline),
        .config = std::move(*config),
        .watch = running->watch,
        .address_range = range,
        .kill_switch = kill_switch,
        .adapter_retried = false,
        .address_retried = false,
    };
    state.run_generation += 1;
    state.watcher_active = true;
    run_generation = state.run_generation;
    stop_generation = state.stop_generation;
  }

  if (auto watching = start_exit_watcher(*this, run_generation); !watching) {
    // A committed run that nothing watches must not stand: its core is
    // stopped as any stop does it, record and all. A stop that cannot be
    // proved leaves the core held and says so first.
    if (auto stopped = stop_core(*this); !stopped) {
      return fail(std::move(watching.error()).context(stopped.error().message()));
    }
    return fail(std::move(watching.error()));
  }
  return RunStartAck{1, true, StopAuthority{instance(), stop_generation}, run_generation};
}

}  // namespace vorn
