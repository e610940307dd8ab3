// The core lifecycle of the engine against fakes of the platform: connect and
// launch, stops and disconnects, the exit watch with its retries, status.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <map>
#include <thread>

#include "helper_engine/core_process.hpp"
#include "helper_engine/engine.hpp"
#include "helper_engine/lifecycle.hpp"
#include "helper_engine/orphan_errors.hpp"
#include "helper_engine/store.hpp"
#include "proc_guard/proc_guard.hpp"
#include "support/fake_clock.hpp"
#include "support/fake_platform.hpp"
#include "support/held_lock.hpp"
#include "support/matchers.hpp"

namespace vorn {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::FailsExactly;
using testing::FailsWith;
using testing::FakeChildScript;
using testing::Succeeds;

constexpr const char* kStore = "C:\\PD\\Vorn";
constexpr const char* kActive = "C:\\PD\\Vorn\\active.json";
constexpr const char* kRecord = "C:\\PD\\Vorn\\core\\sing-box.pid";
constexpr const char* kImage = "C:\\PD\\Vorn\\core\\vorn-core-s.exe";
constexpr const char* kRangeFile = "C:\\PD\\Vorn\\core\\tun-range";
constexpr const char* kNameFile = "C:\\PD\\Vorn\\core\\tun-name";

constexpr const char* kAddressConflict =
    "ERROR start service: configure tun interface: set ipv4 address: The object already exists.";
constexpr const char* kAdapterFailure =
    "FATAL configure tun interface: create adapter: Cannot create a file when that file already exists.";

class Lifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    fake.environment.variables["ProgramData"] = "C:\\PD";
    engine.emplace(std::move(*HelperEngine::create(fake.platform, clock)));
    provision();
  }

  void TearDown() override {
    if (engine) settle(*engine);
  }

  // Watcher threads hold clones and use the fakes; they end at their next
  // check once the service is stopping.
  void settle(const HelperEngine& e) {
    e.stopping().store(true);
    wait_until([&] { return e.handle_count() == 1; });
  }

  void provision();
  void unprovision();

  // An engine of its own for one case of a table, on a platform that starts
  // with `files` (the fixture's provisioned files, say).
  struct CaseRig {
    explicit CaseRig(const std::map<std::string, std::string>& files) : e(prepared(local, clock, files)) {}
    static HelperEngine prepared(testing::FakePlatform& p, testing::FakeClock& c,
                                 const std::map<std::string, std::string>& files) {
      p.environment.variables["ProgramData"] = "C:\\PD";
      p.files.files = files;
      return *HelperEngine::create(p.platform, c);
    }
    testing::FakePlatform local;
    testing::FakeClock clock;
    HelperEngine e;
  };

  template <class F>
  bool wait_until(F done, std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  bool watcher_active() {
    std::lock_guard lock(engine->state_lock());
    return engine->state().watcher_active;
  }

  template <class F>
  auto with_state(F f) {
    std::lock_guard lock(engine->state_lock());
    return f(engine->state());
  }

  std::vector<std::string> log_lines() { return engine->logs(0).lines; }

  // Lines that start with `prefix`, in order.
  std::vector<std::string> lines_with(std::string_view prefix) {
    std::vector<std::string> out;
    for (auto& line : log_lines()) {
      if (line.starts_with(prefix)) out.push_back(line);
    }
    return out;
  }

  void expect_child(FakeChildScript script) { fake.processes.next_children.push_back(std::move(script)); }

  testing::FakePlatform fake;
  testing::FakeClock clock;
  std::optional<HelperEngine> engine;
};

void Lifecycle::provision() {
  fake.files.files[trusted_core_path(fake.environment)] = VORN_UNIT_CORE_BYTES;
  fake.files.files[trusted_wintun_path(fake.environment)] = VORN_UNIT_WINTUN_BYTES;
}

void Lifecycle::unprovision() {
  fake.files.files.erase(trusted_wintun_path(fake.environment));
}

// Connect ---------------------------------------------------------------------

TEST_F(Lifecycle, ConnectLaunchesTheCoreAndOwnsIt) {
  auto ack = engine->connect("{}", false);
  ASSERT_THAT(ack, Succeeds());
  EXPECT_EQ(ack->protocol, 1u);
  EXPECT_TRUE(ack->connected);
  EXPECT_EQ(ack->run_generation, 2u);
  EXPECT_EQ(ack->stop_authority, (StopAuthority{engine->instance(), 2}));

  ASSERT_EQ(fake.processes.spawned.size(), 1u);
  const auto& command = fake.processes.spawned[0];
  EXPECT_EQ(command.program, kImage);
  EXPECT_EQ(command.args, (std::vector<std::string>{"run", "-c", kActive}));
  EXPECT_EQ(command.working_dir, "C:\\PD\\Vorn\\core");
  EXPECT_EQ(command.creation_flags, 0x08000200u);
  EXPECT_TRUE(fake.files.files.count(kActive));
  auto record = read_proc_record(fake.files, kRecord);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->pid, 7000u);
  EXPECT_EQ(record->path, kImage);

  EXPECT_TRUE(with_state([](EngineState& s) { return s.core != nullptr && s.mode == "tun" && s.run.has_value(); }));

  // The second connect stops the first core before its own launch.
  auto second = engine->connect("{}", true);
  ASSERT_THAT(second, Succeeds());
  EXPECT_EQ(second->run_generation, 4u);
  EXPECT_EQ(second->stop_authority.generation, 4u);
  EXPECT_THAT(fake.console.breaks, ElementsAre(7000u));
  EXPECT_EQ(read_proc_record(fake.files, kRecord)->pid, 7001u);
}

TEST_F(Lifecycle, ConnectLeavesItsLinesInOrder) {
  fake.devices.devices.clear();
  ASSERT_THAT(engine->connect("{}", false), Succeeds());
  std::vector<std::string> stages;
  for (const auto& line : log_lines()) {
    if (line.starts_with("[helper/timing] stage=")) {
      stages.push_back(line.substr(22, line.find(' ', 22) - 22));
    } else if (line.starts_with("[helper] starting core")) {
      stages.push_back("start");
    }
  }
  EXPECT_THAT(stages, ElementsAre("operation_lock", "previous_core_stop", "adapter_cleanup", "start",
                                  "launch_core_read", "launch_core_hash", "launch_runtime_prepare",
                                  "launch_process_spawn", "verified_core_spawn"));
  EXPECT_THAT(log_lines(), Contains("[helper] starting core (adapter Vorn, address 10.86.111.1/30 + "
                                    "fd56:6f72:6e00::1/126, kill_switch=false)"));
}

TEST_F(Lifecycle, ConnectWhileStoppingWritesNothing) {
  engine->stopping().store(true);
  EXPECT_THAT(engine->connect("{}", false), FailsExactly(orphan::SERVICE_STOPPING));
  EXPECT_TRUE(log_lines().empty());
  EXPECT_TRUE(fake.processes.spawned.empty());
}

TEST_F(Lifecycle, UnprovisionedConnectStillStopsThePreviousCore) {
  ASSERT_THAT(engine->connect("{}", false), Succeeds());
  unprovision();
  EXPECT_THAT(engine->connect("{}", false), FailsExactly(CORE_NOT_PROVISIONED));
  EXPECT_THAT(fake.console.breaks, ElementsAre(7000u));
  EXPECT_EQ(lines_with("[helper/timing] stage=operation_lock").size(), 2u);
  EXPECT_EQ(lines_with("[helper/timing] stage=previous_core_stop").size(), 2u);
  EXPECT_TRUE(with_state([](EngineState& s) { return s.core == nullptr && s.mode == "none" && !s.run; }));
}

TEST_F(Lifecycle, RefusedConfigurationLeavesNoCoreAndNoFiles) {
  const auto before = fake.files.files;
  EXPECT_THAT(engine->connect("[1]", false), Not(Succeeds()));
  EXPECT_TRUE(fake.processes.spawned.empty());
  EXPECT_EQ(fake.files.files, before);
}

TEST_F(Lifecycle, RangeAndNameFilesChooseTheLaunch) {
  struct Case {
    std::optional<std::string> range_file;
    std::optional<std::string> name_file;
    const char* start_line;
  } cases[] = {
      {" 1\r\n", std::nullopt,
       "[helper] starting core (adapter Vorn, address 10.181.229.1/30 + fd56:6f72:6e01::1/126, kill_switch=false)"},
      {"+1", "Vorn-a1b2c3\r\n",
       "[helper] starting core (adapter Vorn-a1b2c3, address 10.181.229.1/30 + fd56:6f72:6e01::1/126, "
       "kill_switch=false)"},
      {"2", "Ethernet",
       "[helper] starting core (adapter Vorn, address 10.86.111.1/30 + fd56:6f72:6e00::1/126, kill_switch=false)"},
      {std::nullopt, "  VORN-ABCDEF ",
       "[helper] starting core (adapter VORN-ABCDEF, address 10.86.111.1/30 + fd56:6f72:6e00::1/126, "
       "kill_switch=false)"},
  };
  for (const auto& c : cases) {
    CaseRig rig(fake.files.files);  // the provisioned files
    auto& local = rig.local;
    auto& e = rig.e;
    if (c.range_file) local.files.files[kRangeFile] = *c.range_file;
    if (c.name_file) local.files.files[kNameFile] = *c.name_file;
    ASSERT_THAT(e.connect("{}", false), Succeeds());
    EXPECT_THAT(e.logs(0).lines, Contains(std::string(c.start_line)));
    // Remembered: a changed file is not read again by this engine.
    local.files.files[kRangeFile] = "0";
    local.files.files[kNameFile] = "Vorn-000000";
    ASSERT_THAT(e.connect("{}", false), Succeeds());
    EXPECT_EQ(e.logs(0).lines.size() > 0, true);
    const auto lines = e.logs(0).lines;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string(c.start_line)), 2);
    settle(e);
  }
}

TEST_F(Lifecycle, UnwritableOwnershipRecordStopsTheNewCore) {
  expect_child({.identity_unreadable = true});
  EXPECT_THAT(engine->connect("{}", false), FailsExactly(orphan::RECORD_NOT_SAVED));
  auto child = fake.processes.child(7000);
  EXPECT_TRUE(child->released);
  EXPECT_FALSE(watcher_active());
  const StatusData status = engine->status();
  EXPECT_EQ(status.last_error, orphan::RECORD_NOT_SAVED);
  EXPECT_FALSE(status.running);
  EXPECT_EQ(status.cleanup_confirmed, false);
}

TEST_F(Lifecycle, UnwritableRecordWithAnUnstoppableCoreKeepsItAsUnconfirmed) {
  expect_child({.exits_on_ctrl_break = false, .exits_on_terminate = false, .identity_unreadable = true});
  EXPECT_THAT(engine->connect("{}", false), FailsExactly(orphan::RECORD_NOT_SAVED));
  EXPECT_TRUE(with_state([](EngineState& s) {
    return s.core != nullptr && s.stop_unconfirmed && s.mode == "stopping" && s.cleanup_pending;
  }));
  const StatusData status = engine->status();
  EXPECT_TRUE(status.running);
  EXPECT_EQ(status.mode, "stopping");
  EXPECT_THAT(engine->disconnect(), FailsExactly(orphan::AUTHORITY_REQUIRED));
}

// The core runs only once its record names it: it starts held in its
// kill-on-close job, is recorded, has the limit lifted, and only then resumes.
TEST_F(Lifecycle, TheCoreRunsOnlyOnceItsRecordNamesIt) {
  std::vector<std::string> seen;
  {
    std::lock_guard lock(fake.processes.lock);
    fake.processes.on_child_call = [&](const std::string& call) {
      auto record = read_proc_record(fake.files, kRecord);
      seen.push_back(call + (record && record->pid == 7000 ? " (recorded)" : ""));
    };
  }
  ASSERT_THAT(engine->connect("{}", false), Succeeds());
  std::lock_guard lock(fake.processes.lock);
  fake.processes.on_child_call = nullptr;
  EXPECT_THAT(seen, ElementsAre("spawn held 7000", "lift 7000 (recorded)", "resume 7000 (recorded)"));
  EXPECT_EQ(fake.processes.spawned[0].creation_flags, 0x08000200u);
}

TEST_F(Lifecycle, AnUnrecordedCoreIsTerminatedWithoutEverRunning) {
  struct Case {
    const char* name;
    FakeChildScript script;
  } cases[] = {
      {"exit confirmed", {.identity_unreadable = true}},
      {"exit unconfirmed", {.exits_on_ctrl_break = false, .exits_on_terminate = false, .identity_unreadable = true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CaseRig rig(fake.files.files);
    auto& local = rig.local;
    auto& e = rig.e;
    local.processes.next_children.push_back(c.script);
    EXPECT_THAT(e.connect("{}", false), FailsExactly(orphan::RECORD_NOT_SAVED));
    // Nothing of it ran, not even a Ctrl-Break handler.
    EXPECT_THAT(local.processes.child_calls, ElementsAre("spawn held 7000", "terminate 7000"));
    EXPECT_TRUE(local.console.breaks.empty());
    settle(e);
  }
}

// After its record, the core must still get its two pumps, have its limit
// lifted and resume; after the commit, it must get its exit watcher. When any
// of that fails, no core is left running unwatched or unowned: it is stopped
// and its record removed, or, when its exit cannot be proved, it is kept with
// its record and the error says that a core may be left behind.
TEST_F(Lifecycle, ACoreThatCannotBeServedIsStoppedOrKeptAsUnconfirmed) {
  const std::function<void()> out_of_memory = [] { throw std::bad_alloc(); };
  const std::function<void()> not_standard = [] { throw 7; };
  struct Case {
    const char* name;
    FakeChildScript script;
    std::optional<int> failing_thread_start;  // 0: output pump, 1: error pump, 2: exit watcher
    std::function<void()> throws;             // none: the fake's std::system_error
    std::string error;                        // when the stop is confirmed
    bool ran;                                 // let go before the failure
  } cases[] = {
      {"output pump", {}, 0, nullptr, "helper: could not start the core output reader: Resource temporarily unavailable",
       false},
      {"error pump, out of memory", {}, 1, out_of_memory,
       "helper: could not start the core output reader: std::bad_alloc", false},
      {"limit not lifted", {.lift_fails = true}, std::nullopt, nullptr,
       "helper: could not lift the core's kill-on-close limit: Access is denied. (os error 5)", false},
      {"not resumed", {.resume_fails = true}, std::nullopt, nullptr,
       "helper: could not resume the core: Access is denied. (os error 5)", false},
      {"exit watcher, not a standard exception", {}, 2, not_standard,
       "helper: could not start the core exit watcher: unknown error", true},
  };
  for (const auto& c : cases) {
    for (const bool stoppable : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (stoppable ? ", stoppable" : ", unstoppable"));
      CaseRig rig(fake.files.files);
      auto& local = rig.local;
      auto& e = rig.e;
      FakeChildScript script = c.script;
      if (!stoppable) {
        script.exits_on_ctrl_break = false;
        script.exits_on_terminate = false;
      }
      local.processes.next_children.push_back(script);
      local.processes.failing_thread_start = c.failing_thread_start;
      if (c.throws) local.processes.thread_start_throws = c.throws;

      const auto result = e.connect("{}", false);
      const auto record = read_proc_record(local.files, kRecord);
      {
        std::lock_guard lock(local.processes.lock);
        const auto& child = *local.processes.children.at(7000);
        EXPECT_EQ(child.resumed, c.ran);
        // A core that never ran is terminated; one that ran gets a Ctrl-Break first.
        if (!c.ran) {
          EXPECT_THAT(local.processes.child_calls, Contains("terminate 7000"));
        }
        if (stoppable) {
          EXPECT_TRUE(child.exit_code.has_value());
        }
      }
      // Only a core that ran gets a Ctrl-Break.
      EXPECT_EQ(local.console.breaks.empty(), !c.ran);
      {
        std::lock_guard lock(e.state_lock());
        const EngineState& state = e.state();
        EXPECT_FALSE(state.run.has_value());
        EXPECT_FALSE(state.watcher_active);
        if (stoppable) {
          EXPECT_THAT(result, FailsExactly(c.error));
          EXPECT_EQ(state.core, nullptr);
          EXPECT_EQ(state.mode, "none");
          EXPECT_FALSE(state.stop_unconfirmed);
          EXPECT_FALSE(record.has_value());
        } else {
          EXPECT_THAT(result, FailsExactly(std::string(orphan::OWN_STOP_UNCONFIRMED) + ": " + c.error));
          ASSERT_NE(state.core, nullptr);
          EXPECT_EQ(state.core->pid(), 7000u);
          EXPECT_EQ(state.mode, "stopping");
          EXPECT_TRUE(state.stop_unconfirmed);
          EXPECT_TRUE(state.cleanup_pending);
          EXPECT_EQ(state.last_error, orphan::OWN_STOP_UNCONFIRMED);
          ASSERT_TRUE(record.has_value());
          EXPECT_EQ(record->pid, 7000u);
        }
      }
      if (!stoppable) {
        EXPECT_THAT(e.disconnect(), FailsExactly(orphan::AUTHORITY_REQUIRED));
      }
      settle(e);
    }
  }
}

// Stops and disconnects -------------------------------------------------------

TEST_F(Lifecycle, StopWithNothingHeldStillMovesTheGenerations) {
  auto forced = stop_core(*engine);
  ASSERT_THAT(forced, Succeeds());
  EXPECT_FALSE(*forced);
  EXPECT_TRUE(with_state([](EngineState& s) {
    return s.run_generation == 1 && s.stop_generation == 1 && s.mode == "none" && !s.stop_unconfirmed;
  }));
  EXPECT_THAT(log_lines(), Not(Contains("[helper] core stop confirmed")));
}

TEST_F(Lifecycle, StopOutcomesOfTheHeldChild) {
  struct Case {
    const char* name;
    FakeChildScript script;
    bool delivers;
    bool ok;
    bool forced;
  } cases[] = {
      {"already exited", {.exit_code = 0}, true, true, false},
      {"exits on ctrl-break", {}, true, true, false},
      {"ignores ctrl-break", {.exits_on_ctrl_break = false}, true, true, true},
      {"not attachable", {}, false, true, true},
      {"never exits", {.exits_on_ctrl_break = false, .exits_on_terminate = false}, true, false, false},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    CaseRig rig({});
    auto& local = rig.local;
    auto& e = rig.e;
    local.console.delivers = c.delivers;
    local.processes.next_children.push_back(c.script);
    auto child = std::move(*local.processes.spawn(core_command(kImage)));
    {
      std::lock_guard lock(e.state_lock());
      e.state().core = std::move(child);
      e.state().cleanup_pending = false;
    }
    auto result = stop_core(e);
    std::lock_guard lock(e.state_lock());
    if (c.ok) {
      ASSERT_THAT(result, Succeeds());
      EXPECT_EQ(*result, c.forced);
      EXPECT_EQ(e.state().cleanup_pending, c.forced);
      EXPECT_EQ(e.state().mode, "none");
      EXPECT_EQ(e.state().core, nullptr);
      EXPECT_EQ(c.script.exit_code.has_value(), local.console.breaks.empty());
    } else {
      EXPECT_THAT(result, FailsExactly(orphan::OWN_STOP_UNCONFIRMED));
      EXPECT_NE(e.state().core, nullptr);
      EXPECT_EQ(e.state().mode, "stopping");
      EXPECT_TRUE(e.state().stop_unconfirmed);
      EXPECT_TRUE(e.state().cleanup_pending);
      EXPECT_EQ(e.state().last_error, orphan::OWN_STOP_UNCONFIRMED);
    }
  }
}

TEST_F(Lifecycle, RecordedCoreOfAnEarlierRunIsStoppedOnlyWithProof) {
  // An earlier run's core, alive, named by its record.
  testing::FakeProcess earlier;
  earlier.created = 777;
  earlier.image_path = kImage;
  fake.processes.table[4100] = earlier;
  fake.files.files[kRecord] = serialize_proc_record({4100, 777, kImage});
  ASSERT_THAT(engine->connect("{}", false), Succeeds());
  EXPECT_THAT(fake.processes.terminated, ElementsAre(4100u));

  // One that cannot be terminated keeps the stop unconfirmed.
  testing::FakeProcess stubborn = earlier;
  stubborn.terminate_refused = true;
  fake.processes.table[4200] = stubborn;
  ASSERT_THAT(engine->cleanup_owned(), Succeeds());
  fake.files.files[kRecord] = serialize_proc_record({4200, 777, kImage});
  EXPECT_THAT(engine->connect("{}", false), FailsExactly(orphan::RECORDED_STOP_UNCONFIRMED));
  EXPECT_TRUE(with_state([](EngineState& s) {
    return s.core == nullptr && s.mode == "stopping" && s.stop_unconfirmed &&
           s.last_error == orphan::RECORDED_STOP_UNCONFIRMED;
  }));
}

TEST_F(Lifecycle, DisconnectOnlyProvesNothingIsOwned) {
  EXPECT_THAT(engine->disconnect(), FailsExactly(orphan::AUTHORITY_REQUIRED));  // a cleanup is owed from the start
  ASSERT_THAT(engine->cleanup_owned(), Succeeds());
  EXPECT_THAT(engine->disconnect(), Succeeds());
  {
    InFlightGuard busy(*engine);
    EXPECT_THAT(engine->disconnect(), FailsExactly(orphan::AUTHORITY_REQUIRED));
  }
  fake.files.presence_unknown.insert(kRecord);
  EXPECT_THAT(engine->disconnect(), FailsExactly(orphan::AUTHORITY_REQUIRED));
  fake.files.presence_unknown.clear();
  ASSERT_THAT(engine->connect("{}", false), Succeeds());
  EXPECT_THAT(engine->disconnect(), FailsExactly(orphan::AUTHORITY_REQUIRED));
  EXPECT_TRUE(with_state([](EngineState& s) { return s.core != nullptr && !s.last_error; }));
}

TEST_F(Lifecycle, DisconnectOwnedNeedsTheExactCurrentAuthority) {
  auto ack = engine->connect("{}", false);
  ASSERT_THAT(ack, Succeeds());
  std::string upper = ack->stop_authority.instance;
  for (auto& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  const StopAuthority stale[] = {
      {ack->stop_authority.instance, ack->stop_authority.generation - 1},
      {ack->stop_authority.instance, ack->stop_authority.generation + 1},
      {upper, ack->stop_authority.generation},
      {ack->stop_authority.instance + " ", ack->stop_authority.generation},
  };
  for (const auto& authority : stale) {
    EXPECT_THAT(engine->disconnect_owned(authority), FailsExactly(orphan::STALE_AUTHORITY));
  }
  EXPECT_TRUE(with_state([](EngineState& s) { return s.core != nullptr; }));
  ASSERT_THAT(engine->disconnect_owned(ack->stop_authority), Succeeds());
  EXPECT_TRUE(with_state([](EngineState& s) { return s.core == nullptr && s.mode == "none"; }));
  EXPECT_FALSE(fake.files.files.count(kRecord));
  // Until the ended run's watcher has left its last check, it is in flight.
  ASSERT_TRUE(wait_until([&] { return engine->in_flight().load() == 0; }));
  EXPECT_THAT(engine->disconnect(), Succeeds());
}

TEST_F(Lifecycle, CleanupStageLinesAndFailure) {
  fake.devices.open_error = 5;
  EXPECT_THAT(engine->cleanup_owned(), Not(Succeeds()));
  EXPECT_EQ(lines_with("[helper/timing] stage=adapter_cleanup outcome=error").size(), 1u);
  EXPECT_EQ(lines_with("[helper] ERROR ").size(), 1u);
  EXPECT_TRUE(with_state([](EngineState& s) { return s.cleanup_pending; }));
  fake.devices.open_error.reset();
  EXPECT_THAT(engine->cleanup_owned(), Succeeds());
  EXPECT_EQ(lines_with("[helper/timing] stage=adapter_cleanup outcome=ok").size(), 1u);
  EXPECT_TRUE(with_state([](EngineState& s) { return !s.cleanup_pending; }));
}

TEST_F(Lifecycle, CleanupOwnedRunsWhileStopping) {
  ASSERT_THAT(engine->connect("{}", false), Succeeds());
  engine->stopping().store(true);
  EXPECT_THAT(engine->cleanup_owned(), Succeeds());
  EXPECT_TRUE(with_state([](EngineState& s) { return s.core == nullptr && !s.cleanup_pending; }));
  ASSERT_TRUE(wait_until([&] { return engine->in_flight().load() == 0; }));
  EXPECT_EQ(engine->status().cleanup_confirmed, true);
}

// Exit watch and retries ------------------------------------------------------

// Waits for the watcher of the current run to end.
#define WAIT_WATCHER_END() ASSERT_TRUE(wait_until([&] { return !watcher_active(); }))

TEST_F(Lifecycle, AnOrdinaryExitEndsTheRunWithoutRetry) {
  expect_child({.exits_after_checks = 1, .later_exit_code = 1});
  ASSERT_THAT(engine->connect("{}", false), Succeeds());
  WAIT_WATCHER_END();
  EXPECT_TRUE(with_state([](EngineState& s) {
    return s.core == nullptr && s.mode == "none" && s.last_error == "core exited: exit code: 1" && !s.run &&
           s.cleanup_pending && !s.recovery;
  }));
  EXPECT_EQ(fake.processes.spawned.size(), 1u);
  EXPECT_TRUE(lines_with("[helper] ERROR").empty());
  EXPECT_FALSE(fake.files.files.count(kRecord));
}

TEST_F(Lifecycle, StatusShowsTheNtStatusExitCode) {
  expect_child({.exits_after_checks = 1, .later_exit_code = 3221225786u});
  ASSERT_THAT(engine->connect("{}", false), Succeeds());
  WAIT_WATCHER_END();
  EXPECT_EQ(engine->status().last_error, "core exited: exit code: 0xc000013a");
}

TEST_F(Lifecycle, AddressConflictIsRetriedOnceOnTheOtherRange) {
  expect_child({.exit_code = 1, .stdout_bytes = std::string(kAddressConflict) + "\r\n"});
  expect_child({});  // the retry's core keeps running
  auto ack = engine->connect("{}", false);
  ASSERT_THAT(ack, Succeeds());
  WAIT_WATCHER_END();

  EXPECT_THAT(log_lines(), Contains("[helper] WARN the TUN address 10.86.111.1/30 + fd56:6f72:6e00::1/126 is taken "
                                    "by another adapter (another client's tunnel?) \u2014 retrying ONCE on "
                                    "10.181.229.1/30 + fd56:6f72:6e01::1/126"));
  const auto recovery = lines_with("[helper/recovery] ");
  ASSERT_EQ(recovery.size(), 4u);
  EXPECT_THAT(recovery[0], HasSubstr("\"stage\":\"detected\""));
  EXPECT_THAT(recovery[1], HasSubstr("\"stage\":\"cleanup\""));
  EXPECT_THAT(recovery[2], HasSubstr("\"stage\":\"spawn\""));
  EXPECT_THAT(recovery[3], HasSubstr("\"stage\":\"live\""));
  EXPECT_THAT(recovery[0], HasSubstr("\"kind\":\"address\""));
  EXPECT_EQ(fake.files.files[kRangeFile], "1");
  ASSERT_EQ(fake.processes.spawned.size(), 2u);

  const StatusData status = engine->status();
  EXPECT_TRUE(status.running);
  EXPECT_EQ(status.mode, "tun");
  EXPECT_EQ(status.run_generation, 2u);
  EXPECT_EQ(status.stop_authority->generation, 3u);
  ASSERT_TRUE(status.recovery_receipt);
  EXPECT_EQ(status.recovery_receipt->events.size(), 4u);
  EXPECT_EQ(status.recovery_receipt->generation, 2u);
  EXPECT_EQ(status.recovery_receipt->kind, RecoveryKind::Address);

  // The authority of the connect reply went stale with the retry.
  EXPECT_THAT(engine->disconnect_owned(ack->stop_authority), FailsExactly(orphan::STALE_AUTHORITY));
  EXPECT_THAT(engine->disconnect_owned(*status.stop_authority), Succeeds());
}

TEST_F(Lifecycle, EachRetryKindHappensOncePerRun) {
  struct Case {
    const char* name;
    std::vector<FakeChildScript> children;
    std::vector<std::string> lines;  // expected among the log lines
    std::string last_error;
    std::size_t spawns;
  } cases[] = {
      {"second address conflict gives up",
       {{.exit_code = 1, .stdout_bytes = std::string(kAddressConflict) + "\n"},
        {.exits_after_checks = 1, .later_exit_code = 1, .stdout_bytes = std::string(kAddressConflict) + "\n"}},
       {"[helper] ERROR both Vorn TUN address ranges are taken by other adapters \u2014 giving up (not retrying "
        "again); the other client's tunnel has to be closed"},
       ADDRESS_GIVE_UP_TEXT,
       2},
      {"address conflict wins over an adapter failure",
       {{.exit_code = 1,
         .stdout_bytes = std::string(kAdapterFailure) + "\n" + std::string(kAddressConflict) + "\n"},
        {}},
       {},
       "",
       2},
      {"address used up, adapter not retried",
       {{.exit_code = 1, .stdout_bytes = std::string(kAddressConflict) + "\n"},
        {.exits_after_checks = 1,
         .later_exit_code = 1,
         .stdout_bytes = std::string(kAddressConflict) + "\n" + std::string(kAdapterFailure) + "\n"}},
       {},
       ADDRESS_GIVE_UP_TEXT,
       2},
      {"second adapter failure gives up",
       {{.exit_code = 1, .stderr_bytes = std::string(kAdapterFailure) + "\n"},
        {.exits_after_checks = 1, .later_exit_code = 1, .stderr_bytes = std::string(kAdapterFailure) + "\n"}},
       {"[helper] ERROR the TUN adapter failed the same way under a fresh name too \u2014 giving up (not retrying "
        "again); a reboot or removing the adapter in Device Manager is needed"},
       ADAPTER_GIVE_UP_TEXT,
       2},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    CaseRig rig(fake.files.files);
    auto& local = rig.local;
    auto& e = rig.e;
    for (auto& child : c.children) local.processes.next_children.push_back(child);
    ASSERT_THAT(e.connect("{}", false), Succeeds());
    ASSERT_TRUE(wait_until([&] {
      std::lock_guard lock(e.state_lock());
      return !e.state().watcher_active;
    }));
    const auto lines = e.logs(0).lines;
    for (const auto& line : c.lines) EXPECT_THAT(lines, Contains(line));
    EXPECT_EQ(local.processes.spawned.size(), c.spawns);
    settle(e);
    std::lock_guard lock(e.state_lock());
    if (c.last_error.empty()) {
      EXPECT_FALSE(e.state().last_error.has_value());
      EXPECT_EQ(e.state().mode, "tun");
      EXPECT_TRUE(e.state().run->address_retried);
      EXPECT_FALSE(e.state().run->adapter_retried);
    } else {
      EXPECT_EQ(e.state().last_error, c.last_error);
      EXPECT_EQ(e.state().mode, "none");
      EXPECT_TRUE(e.state().recovery.has_value());  // a give-up keeps the journal
    }
  }
}

TEST_F(Lifecycle, AdapterFailureRetriesUnderAFreshName) {
  expect_child({.exit_code = 1, .stderr_bytes = std::string(kAdapterFailure) + "\n"});
  expect_child({});
  ASSERT_THAT(engine->connect("{}", false), Succeeds());
  WAIT_WATCHER_END();
  const auto warn = lines_with("[helper] WARN the TUN adapter identity");
  ASSERT_EQ(warn.size(), 1u);
  const std::string name = fake.files.files[kNameFile];
  EXPECT_TRUE(name.starts_with("Vorn-")) << name;
  EXPECT_EQ(name.size(), 11u);
  EXPECT_THAT(warn[0], HasSubstr("retrying ONCE as " + name));
  EXPECT_EQ(lines_with("[helper/timing] stage=adapter_cleanup").size(), 2u);
  EXPECT_THAT(log_lines(), Contains(HasSubstr("adapter " + name + ", address 10.86.111.1/30")));
}

TEST_F(Lifecycle, FailedRetryStagesEndInAGiveUpWithTheExitMessage) {
  // The cleanup before the relaunch fails: only `detected` is recorded.
  expect_child({.exit_code = 1, .stdout_bytes = std::string(kAddressConflict) + "\n"});
  ASSERT_THAT(engine->connect("{}", false), Succeeds());
  fake.devices.open_error = 5;  // the connect's own cleanup already ran
  WAIT_WATCHER_END();
  EXPECT_EQ(lines_with("[helper] ERROR the retry could not start the core: ").size(), 1u);
  StatusData status = engine->status();
  EXPECT_EQ(status.last_error, "core exited: exit code: 1");
  ASSERT_TRUE(status.recovery_receipt);
  EXPECT_EQ(status.recovery_receipt->events.size(), 1u);
  fake.devices.open_error.reset();

  // The relaunch fails: `detected` and `cleanup`, never `live`.
  expect_child({.exit_code = 1, .stdout_bytes = std::string(kAddressConflict) + "\n"});
  ASSERT_THAT(engine->connect("{}", false), Succeeds());
  fake.processes.spawn_error = 5;
  WAIT_WATCHER_END();
  status = engine->status();
  EXPECT_EQ(status.last_error, "core exited: exit code: 1");
  ASSERT_TRUE(status.recovery_receipt);
  EXPECT_EQ(status.recovery_receipt->events.size(), 2u);
  EXPECT_THAT(log_lines(), Contains("[helper] ERROR the retry could not start the core: helper: failed to spawn core: "
                                    "spawn refused (os error 5)"));
}

// Something else may hold the core's output open after the core has gone (a
// console host, a process the core started): the pumps are told to stop
// waiting for the end of the stream, and the decision waits for them only a
// bounded time, then goes by the flags it has.
TEST_F(Lifecycle, PumpsHeldOpenPastTheExitDoNotHoldTheDecision) {
  struct Case {
    const char* name;
    bool read_ignores_stop;  // a read that not even the stop can wake
    std::uint64_t readers_after;
  } cases[] = {
      {"write end held elsewhere", false, 0},
      {"read never returns", true, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto held = std::make_shared<testing::PipeGate>();
    held->ignores_stop = c.read_ignores_stop;
    const std::size_t spawned = fake.processes.spawned.size();
    expect_child({.stdout_bytes = std::string(kAddressConflict) + "\n", .stdout_end = held});
    expect_child({});
    ASSERT_THAT(engine->connect("{}", false), Succeeds());
    ASSERT_TRUE(wait_until([&] { return lines_with("[core:out] ").size() == spawned / 2 + 1; }));
    std::shared_ptr<OutputWatch> watch = with_state([](EngineState& s) { return s.run->watch; });
    {
      std::lock_guard lock(fake.processes.lock);
      fake.processes.children.at(7000 + static_cast<std::uint32_t>(spawned))->exit_code = 1;
    }
    WAIT_WATCHER_END();
    EXPECT_EQ(watch->live_readers.load(), c.readers_after);
    EXPECT_EQ(fake.processes.spawned.size(), spawned + 2);  // the retry went by the flag
    held->open();
    EXPECT_TRUE(wait_until([&] { return watch->live_readers.load() == 0; }));
  }
}

TEST_F(Lifecycle, StopReleasesPumpsHeldOpenByAnotherProcess) {
  auto held = std::make_shared<testing::PipeGate>();
  expect_child({.stdout_bytes = "INFO started\npartial", .stdout_end = held});
  auto ack = engine->connect("{}", false);
  ASSERT_THAT(ack, Succeeds());
  std::shared_ptr<OutputWatch> watch = with_state([](EngineState& s) { return s.run->watch; });
  ASSERT_THAT(engine->disconnect_owned(ack->stop_authority), Succeeds());
  // Released before the disconnect returned, the last partial line logged.
  EXPECT_EQ(watch->live_readers.load(), 0u);
  EXPECT_THAT(log_lines(), Contains("[core:out] partial"));
}

TEST_F(Lifecycle, WatcherEndsQuietlyWhenTheServiceStops) {
  ASSERT_THAT(engine->connect("{}", false), Succeeds());
  engine->stopping().store(true);
  WAIT_WATCHER_END();
  EXPECT_TRUE(with_state([](EngineState& s) { return s.core != nullptr && s.mode == "tun"; }));
}

TEST_F(Lifecycle, ExitAfterTheWatchWindowIsNoticedByStatusWithoutRetry) {
  expect_child({.exits_after_checks = 1000000, .stdout_bytes = std::string(kAddressConflict) + "\n"});
  ASSERT_THAT(engine->connect("{}", false), Succeeds());
  WAIT_WATCHER_END();  // 90 s of virtual time
  EXPECT_TRUE(with_state([](EngineState& s) { return s.core != nullptr; }));
  fake.processes.child(7000)->exit_code = 1;
  const StatusData status = engine->status();
  EXPECT_FALSE(status.running);
  EXPECT_EQ(status.mode, "none");
  EXPECT_EQ(status.last_error, "core exited: exit code: 1");
  EXPECT_EQ(fake.processes.spawned.size(), 1u);
  EXPECT_FALSE(status.recovery_receipt);
}

TEST_F(Lifecycle, FailingExitCheckIsRecordedAndNeverTakenAsAnExit) {
  ASSERT_THAT(engine->connect("{}", false), Succeeds());
  engine->stopping().store(true);
  WAIT_WATCHER_END();
  fake.processes.child(7000)->exit_check_fails = true;
  engine->stopping().store(false);
  const StatusData status = engine->status();
  EXPECT_TRUE(status.running);
  EXPECT_EQ(status.last_error, std::string(orphan::OWN_WAIT_UNCONFIRMED_PREFIX) + "The handle is invalid. (os error 6)");
  EXPECT_TRUE(with_state([](EngineState& s) { return s.stop_unconfirmed; }));
}

TEST_F(Lifecycle, AWatcherOfAnEndedRunNeverClearsTheFlagOfTheNextRun) {
  {
    std::lock_guard lock(engine->state_lock());
    engine->state().run_generation = 5;
    engine->state().watcher_active = true;
  }
  { CoreWatchGuard stale(*engine, 4); }
  EXPECT_TRUE(watcher_active());
  { CoreWatchGuard current(*engine, 5); }
  EXPECT_FALSE(watcher_active());
  EXPECT_FALSE(watch_gate(*engine, 4).has_value());
  auto gate = watch_gate(*engine, 5);
  ASSERT_TRUE(gate.has_value());
  EXPECT_EQ(engine->in_flight().load(), 1u);
}

TEST_F(Lifecycle, SavedNameAndRangeAreUsedEvenWhenTheirFilesCannotBeWritten) {
  fake.files.writes_fail = true;
  save_adapter_name(*engine, "Vorn-0a0b0c");
  save_address_range(*engine, 1);
  fake.files.writes_fail = false;
  EXPECT_EQ(lines_with("[helper] could not save the adapter name: Access is denied. (os error 5)").size(), 1u);
  EXPECT_EQ(lines_with("[helper] could not save the address range: Access is denied. (os error 5)").size(), 1u);
  EXPECT_EQ(current_adapter_name(*engine), "Vorn-0a0b0c");
  EXPECT_TRUE(with_state([](EngineState& s) { return s.address_range == 1u; }));
  EXPECT_FALSE(fake.files.files.count(kNameFile));
}

// Status ----------------------------------------------------------------------

TEST_F(Lifecycle, StatusOfAFreshEngine) {
  const StatusData status = engine->status();
  EXPECT_FALSE(status.running);
  EXPECT_EQ(status.mode, "none");
  EXPECT_FALSE(status.last_error);
  EXPECT_EQ(status.run_generation, 0u);
  EXPECT_EQ(status.stop_authority, (StopAuthority{engine->instance(), 0}));
  EXPECT_EQ(status.cleanup_confirmed, false);
  EXPECT_FALSE(status.tun_route_identity);
  EXPECT_FALSE(status.recovery_receipt);
  EXPECT_EQ(status.run_start_ack, 1u);
  EXPECT_EQ(lines_with("[helper/timing] stage=status_check refresh_ms=").size(), 1u);
}

TEST_F(Lifecycle, StatusWithABusyOperationLockSkipsTheRefresh) {
  ASSERT_THAT(engine->cleanup_owned(), Succeeds());
  EXPECT_EQ(engine->status().cleanup_confirmed, true);
  expect_child({.exit_code = 1});
  {
    std::lock_guard busy(engine->op_lock());
    // A core that exited while nobody watched, seen only by a refresh.
    std::lock_guard lock(engine->state_lock());
    engine->state().core = std::move(*fake.processes.spawn(core_command(kImage)));
    engine->state().mode = "tun";
  }
  {
    testing::LockHeldElsewhere busy(engine->op_lock());
    const StatusData status = engine->status();
    EXPECT_TRUE(status.running);
    EXPECT_EQ(status.cleanup_confirmed, false);
  }
  const StatusData free = engine->status();
  EXPECT_FALSE(free.running);
  EXPECT_EQ(free.last_error, "core exited: exit code: 1");
}

TEST_F(Lifecycle, StatusDoesNotRefreshWhileAWatcherIsActive) {
  expect_child({.exit_code = 1});
  {
    std::lock_guard lock(engine->state_lock());
    engine->state().core = std::move(*fake.processes.spawn(core_command(kImage)));
    engine->state().watcher_active = true;
  }
  EXPECT_TRUE(engine->status().running);
  {
    std::lock_guard lock(engine->state_lock());
    engine->state().watcher_active = false;
  }
  EXPECT_FALSE(engine->status().running);
}

// The identity is read outside the state lock; a stop that lands meanwhile
// makes it stale, and the report leaves it out rather than show a run that
// has already been let go.
TEST_F(Lifecycle, StatusKeepsTheRouteIdentityOnlyWhileTheRunIsUnchanged) {
  fake.ip_helper.luids["Vorn"] = testing::TUN_LUID;
  fake.ip_helper.unicast = {testing::unicast_host("10.86.111.1", 41), testing::unicast_host("fd56:6f72:6e00::1", 41)};
  ASSERT_THAT(engine->connect("{}", false), Succeeds());
  const StatusData steady = engine->status();
  ASSERT_TRUE(steady.tun_route_identity);
  EXPECT_EQ(steady.tun_route_identity->name, "Vorn");
  EXPECT_EQ(steady.tun_route_identity->ipv4_index, 41u);

  struct Case {
    const char* name;
    std::function<void(EngineState&)> meanwhile;
  } cases[] = {
      {"stop generation moved", [](EngineState& s) { ++s.stop_generation; }},
      {"core let go", [](EngineState& s) { s.core.reset(); }},
  };
  for (const auto& c : cases) {
    bool changed = false;
    fake.ip_helper.after_unicast_read = [&](std::uint64_t) {
      if (!std::exchange(changed, true)) with_state(c.meanwhile);
    };
    EXPECT_FALSE(engine->status().tun_route_identity) << c.name;
    EXPECT_TRUE(changed) << c.name;
  }
  fake.ip_helper.after_unicast_read = nullptr;
}

}  // namespace
}  // namespace vorn
