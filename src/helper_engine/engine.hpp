// The one engine object of a helper run: a handle of shared parts, cloned into
// every request, so that all clones see one state, one log, one set of locks
// and one in-flight count.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "helper_engine/log_ring.hpp"
#include "helper_engine/records.hpp"
#include "helper_engine/recovery.hpp"
#include "platform/platform.hpp"
#include "route_ownership/records.hpp"
#include "support/clock.hpp"
#include "support/error.hpp"
#include "support/json.hpp"

namespace vorn {

// Output flags of one launched core process, shared by its two output pumps
// and the exit check. A new one is made for every launch.
struct OutputWatch {
  std::atomic<std::uint64_t> live_readers{0};
  std::atomic<bool> adapter_failed{false};
  std::atomic<bool> address_conflict{false};
  // The pipes the pumps are still reading, each until its pump ends: once
  // the core is gone they are told to stop waiting, so that a process that
  // inherited the write end cannot keep a pump (its thread and buffers)
  // alive for ever.
  std::mutex pipes_lock;
  std::vector<std::shared_ptr<platform::OutputPipe>> pipes;
};

// The state of the current connect.
struct ActiveRun {
  std::vector<BaselineBypass> baseline;
  Json config;
  std::shared_ptr<OutputWatch> watch;
  std::uint64_t address_range = 0;
  bool kill_switch = false;
  bool adapter_retried = false;
  bool address_retried = false;
};

// All mutable run state; read and written only under the state lock.
struct EngineState {
  std::string mode = "none";
  std::unique_ptr<platform::ChildProcess> core;
  std::optional<std::string> last_error;
  std::optional<ActiveRun> run;
  std::optional<RecoveryJournal> recovery;
  std::optional<std::string> adapter_name;
  std::optional<std::uint64_t> address_range;
  std::uint64_t run_generation = 0;
  std::uint64_t stop_generation = 0;
  bool stop_unconfirmed = false;
  // A fresh engine owes an adapter cleanup: an earlier run may have left
  // adapters behind.
  bool cleanup_pending = true;
  bool watcher_active = false;
};

// The log ring with its own lock; the output pumps hold only this.
struct SharedLog {
  std::mutex lock;
  LogRing ring;
};

void push_log_str(SharedLog& log, std::string_view line);

class HelperEngine {
 public:
  // Fails only when the system's random source cannot give the instance id.
  // `clock` times every wait and log duration; tests pass virtual time.
  static Result<HelperEngine> create(platform::Platform& platform, Clock& clock = system_clock());

  const std::string& instance() const;
  platform::Platform& platform() const;
  Clock& clock() const;
  std::atomic<std::uint64_t>& in_flight() const;
  std::atomic<bool>& stopping() const;
  const std::shared_ptr<SharedLog>& log() const;

  // Lock order: status lock, then operation lock, then state lock. The log
  // lock is always taken alone.
  std::mutex& status_lock() const;
  std::mutex& op_lock() const;
  std::mutex& state_lock() const;
  // Only while state_lock() is held.
  EngineState& state() const;

  // How many handles share these parts, detached threads' clones included;
  // whoever must outlive those threads waits for it to fall.
  long handle_count() const;

  void push_log(std::string line) const;
  LogsData logs(std::uint64_t since) const;

  // Stops any previous core and launches a new one on the sanitized
  // configuration; the reply carries the authority that may stop it.
  Result<RunStartAck> connect(std::string_view config_json, bool kill_switch) const;

  // Succeeds, changing nothing, only when nothing is owned, owed or in
  // flight: a client without the stop authority may only learn that.
  Status disconnect() const;

  // Stops the run of the client that presents the current authority.
  Status disconnect_owned(const StopAuthority& authority) const;

  // Stops whatever the engine owns and proves it gone; the service host calls
  // it at stop and the setup modes before they touch the registration.
  Status cleanup_owned() const;

  // Installs the core and the Wintun library from the client's paths into the
  // trusted store, after both matched their pins.
  Status provision_core(const std::string& core_src, const std::string& wintun_src) const;

  // Never fails; may notice an exited core when no watcher does.
  StatusData status() const;

 private:
  friend class InFlightGuard;
  struct Parts;
  explicit HelperEngine(std::shared_ptr<Parts> parts);
  std::shared_ptr<Parts> parts_;
};

// Whether nothing owned is left: the setup modes require it after
// cleanup_owned. The status report's cleanup_confirmed.
bool owned_cleanup_confirmed(const HelperEngine& engine);

// The route identity capture as the engine runs it: with its platform's IP
// Helper, the process-wide route-reason record, and its log as the sink of the
// route-reason line.
std::optional<TunRouteIdentity> capture_tun_route_identity(std::string name, std::uint64_t range,
                                                           std::vector<std::string> exclusions,
                                                           std::vector<BaselineBypass> baseline,
                                                           const HelperEngine& engine);

// Raises the engine's in-flight count while it lives; can be moved to another
// thread.
class InFlightGuard {
 public:
  explicit InFlightGuard(const HelperEngine& engine);
  InFlightGuard(InFlightGuard&& other) noexcept;
  InFlightGuard& operator=(InFlightGuard&&) = delete;
  InFlightGuard(const InFlightGuard&) = delete;
  ~InFlightGuard();

 private:
  std::shared_ptr<const void> owner_;  // keeps the counter alive
  std::atomic<std::uint64_t>* count_;
};

}  // namespace vorn
