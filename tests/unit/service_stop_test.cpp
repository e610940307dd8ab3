#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "helper_service/service_stop.hpp"
#include "support/fake_platform.hpp"
#include "support/matchers.hpp"

namespace vorn {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;
using ::testing::Pair;
using testing::FailsExactly;
using testing::FailsWith;
using testing::Succeeds;

constexpr const char* kImage = "C:\\Program Files\\Vorn\\vorn-helper.exe";
constexpr std::uint32_t STOPPED = platform::SERVICE_STATE_STOPPED;
constexpr std::uint32_t RUNNING = platform::SERVICE_STATE_RUNNING;

// Time moves only when the code under test sleeps.
struct FakeClock {
  SetupClock::time_point now{std::chrono::hours(1)};
  std::vector<std::chrono::nanoseconds> sleeps;
  SetupClock clock() {
    return {[this] { return now; },
            [this](std::chrono::nanoseconds d) {
              sleeps.push_back(d);
              now += d;
            }};
  }
};

struct StopFixture : ::testing::Test {
  testing::FakePlatform fake;
  FakeClock time;
  SetupContext context{fake.platform, time.clock(), [](platform::Platform&) -> Status { return {}; }};
  std::unique_ptr<platform::Service> service;

  StopFixture() {
    fake.services.service.emplace();
    auto database = fake.platform.services.open_database(1);
    service = std::move(*(*database)->open_service("VornHelper", 0x37));
  }

  // A running process of the helper's image under `pid`.
  void add_image_process(std::uint32_t pid, std::uint64_t created = 1000, std::string name = "vorn-helper.exe") {
    fake.processes.table[pid] = testing::FakeProcess{.created = created, .image_path = kImage};
    fake.processes.entries.push_back({pid, std::move(name)});
  }
  void exit_process(std::uint32_t pid) {
    auto& p = fake.processes.table.at(pid);
    p.exit_code = 0;
    p.exited = p.created + 1;
  }
  void statuses(std::vector<platform::ServiceProcessStatus> s) { fake.services.service->statuses = std::move(s); }
  std::vector<std::string>& calls() { return fake.services.calls; }
  long count(const std::string& call) { return std::ranges::count(calls(), call); }
};

TEST_F(StopFixture, AlreadyStoppedWithNothingLeftNeedsNoStopControl) {
  EXPECT_THAT(stop_service_confirmed(context, *service, false), Succeeds());
  EXPECT_EQ(count("control_stop"), 0);
  EXPECT_EQ(count("query_status"), 2);  // the initial query and one wait pass
  EXPECT_TRUE(time.sleeps.empty());
}

TEST_F(StopFixture, PendingOrPausedServiceIsRefusedAtOnce) {
  for (std::uint32_t state : {2u, 3u, 5u, 6u, 7u}) {
    statuses({{state, 0, 0, 0}});
    EXPECT_THAT(stop_service_confirmed(context, *service, true),
                FailsExactly("helper repair: active service process identity unavailable"))
        << state;
  }
  EXPECT_EQ(count("control_stop"), 0);
  EXPECT_EQ(fake.processes.snapshots, 0);
}

TEST_F(StopFixture, InvalidStateIsAnError) {
  for (std::uint32_t state : {0u, 8u}) {
    statuses({{state, 0, 0, 0}});
    EXPECT_THAT(stop_service_confirmed(context, *service, false), FailsExactly("invalid service status value"));
  }
}

TEST_F(StopFixture, RunningServiceIsStoppedAndItsProcessMustExit) {
  add_image_process(100);
  statuses({{RUNNING, 0, 0, 100}, {STOPPED, 0, 0, 0}});
  // The process outlives the Stopped report by two passes.
  fake.services.on_query = [&](std::size_t n) {
    if (n == 3) exit_process(100);
  };
  EXPECT_THAT(stop_service_confirmed(context, *service, false), Succeeds());
  EXPECT_EQ(count("control_stop"), 1);
  EXPECT_EQ(time.sleeps.size(), 2u);
  EXPECT_EQ(fake.processes.open_handles, 0);
  EXPECT_TRUE(fake.processes.terminated.empty());
}

TEST_F(StopFixture, ServiceProcessMissingFromTheSnapshotIsCapturedByItsId) {
  // The snapshot names another file; the manager's process id is still ours.
  add_image_process(100, 1000, "renamed.exe");
  statuses({{RUNNING, 0, 0, 100}, {STOPPED, 0, 0, 0}});
  fake.services.on_stop = [&] { exit_process(100); };
  EXPECT_THAT(stop_service_confirmed(context, *service, false), Succeeds());
  EXPECT_THAT(fake.processes.opened, Contains(Pair(100u, 0x00101000u)));

  // A service process of another image cannot be held for the proof.
  fake.processes.table[100].image_path = "C:\\other\\vorn-helper.exe";
  fake.processes.table[100].exit_code = platform::PROCESS_STILL_ACTIVE;
  fake.services.service->next_status = 0;
  EXPECT_THAT(stop_service_confirmed(context, *service, false),
              FailsExactly("helper repair: current service process identity unconfirmed"));
}

TEST_F(StopFixture, CurrentProcessAndVanishedProcessesAreSkipped) {
  add_image_process(fake.processes.own_pid);
  fake.processes.entries.push_back({555, "VORN-HELPER.EXE"});  // exited before its capture
  EXPECT_THAT(stop_service_confirmed(context, *service, false), Succeeds());
  for (const auto& [pid, access] : fake.processes.opened) EXPECT_NE(pid, fake.processes.own_pid);
  EXPECT_THAT(fake.processes.opened, Contains(Pair(555u, 0x00101000u)));
}

TEST_F(StopFixture, NewProcessWhileStoppedJoinsAndSameProcessIsHeldOnce) {
  Inventory inventory;
  fake.services.on_query = [&](std::size_t n) {
    if (n == 0) add_image_process(200, 7000);
    if (n == 3) exit_process(200);
  };
  const auto deadline = time.now + std::chrono::seconds(30);
  EXPECT_THAT(wait_repair_settled_with_inventory(context, deadline, *service, kImage, inventory), Succeeds());
  ASSERT_EQ(inventory.size(), 1u);
  EXPECT_EQ(inventory[0].pid, 200u);
  EXPECT_EQ(inventory[0].created, 7000u);
  // Every pass saw it; only the first handle stays.
  EXPECT_EQ(fake.processes.open_handles, 1);

  // The same id with another creation time is another process.
  fake.processes.table[200] = testing::FakeProcess{.created = 9000, .image_path = kImage};
  fake.services.on_query = nullptr;
  fake.services.on_query = [&](std::size_t n) {
    if (n == 6) exit_process(200);
  };
  EXPECT_THAT(wait_repair_settled_with_inventory(context, deadline, *service, kImage, inventory), Succeeds());
  EXPECT_EQ(inventory.size(), 2u);
}

TEST_F(StopFixture, DeadlineAlreadyPassedFailsWithoutAQuery) {
  Inventory inventory;
  const auto deadline = time.now;
  EXPECT_THAT(wait_repair_settled(context, deadline, *service, inventory),
              FailsExactly("helper repair: service/process state remains unconfirmed"));
  EXPECT_THAT(wait_repair_settled_with_inventory(context, deadline, *service, kImage, inventory),
              FailsExactly("helper repair: service/process state remains unconfirmed"));
  EXPECT_EQ(count("query_status"), 0);
}

TEST_F(StopFixture, WaitNeverSleepsPastItsDeadline) {
  statuses({{RUNNING, 0, 0, 100}});
  Inventory inventory;
  EXPECT_THAT(wait_repair_settled(context, time.now + std::chrono::milliseconds(250), *service, inventory),
              FailsWith("remains unconfirmed"));
  EXPECT_THAT(time.sleeps, ElementsAre(std::chrono::milliseconds(100), std::chrono::milliseconds(100),
                                       std::chrono::milliseconds(50)));
}

TEST_F(StopFixture, FailedHandleWaitIsAnError) {
  add_image_process(100);
  fake.processes.table[100].wait_fails = true;
  EXPECT_THAT(stop_service_confirmed(context, *service, false),
              FailsExactly("helper repair: retained process wait failed"));
  EXPECT_EQ(fake.processes.open_handles, 0);
}

TEST_F(StopFixture, StopControlFailureOnlyMattersOutsideRepairWhileNotStopped) {
  add_image_process(100);
  fake.services.service->stop_error = 1061;
  // Not stopped after the refused control: the control's error.
  statuses({{RUNNING, 0, 0, 100}});
  EXPECT_THAT(stop_service_confirmed(context, *service, false), FailsWith("(os error 1061)"));
  EXPECT_EQ(fake.processes.open_handles, 0);

  // Stopped by itself meanwhile: the wait decides.
  fake.services.service->next_status = 0;
  statuses({{RUNNING, 0, 0, 100}, {STOPPED, 0, 0, 0}});
  exit_process(100);
  EXPECT_THAT(stop_service_confirmed(context, *service, false), Succeeds());
}

TEST_F(StopFixture, ServiceThatNeverStopsFailsWithinTheBudget) {
  add_image_process(100);
  statuses({{RUNNING, 0, 0, 100}});
  EXPECT_THAT(stop_service_confirmed(context, *service, false),
              FailsExactly("helper repair: service/process state remains unconfirmed"));
  EXPECT_EQ(time.now - SetupClock::time_point(std::chrono::hours(1)), STOP_CONFIRM_BUDGET);
  EXPECT_TRUE(fake.processes.terminated.empty());
}

// Repair: the service hangs in Running with its process 100 until that exact
// process is terminated.
struct RecoveryFixture : StopFixture {
  std::uint32_t successor = 0;  // a new service process after the termination
  std::uint32_t before_recovery = 100;
  RecoveryFixture() {
    add_image_process(100);
    fake.services.on_query = [this](std::size_t) {
      const bool exited = fake.processes.table.at(100).exited != 0;
      const std::uint32_t pid = exited ? successor : (time.now >= deadline() ? before_recovery : 100);
      statuses({pid != 0 ? platform::ServiceProcessStatus{RUNNING, 0, 0, pid}
                         : platform::ServiceProcessStatus{STOPPED, 1067, 0, 0}});
      fake.services.service->next_status = 0;
    };
  }
  SetupClock::time_point deadline() const { return SetupClock::time_point(std::chrono::hours(1)) + STOP_CONFIRM_BUDGET; }
};

TEST_F(RecoveryFixture, UnchangedServiceProcessIsTerminatedExactly) {
  EXPECT_THAT(stop_service_confirmed(context, *service, true), Succeeds());
  EXPECT_THAT(fake.processes.terminated, ElementsAre(100u));
  EXPECT_EQ(fake.processes.open_handles, 0);
}

TEST_F(RecoveryFixture, ChangedServiceIsNotTouched) {
  before_recovery = 300;
  EXPECT_THAT(stop_service_confirmed(context, *service, true),
              FailsExactly("helper repair: service changed during explicit recovery"));
  EXPECT_TRUE(fake.processes.terminated.empty());
}

TEST_F(RecoveryFixture, SuccessorAfterTerminationIsReported) {
  successor = 301;
  EXPECT_THAT(stop_service_confirmed(context, *service, true),
              FailsExactly("helper repair: successor service observed after recovery"));
  EXPECT_THAT(fake.processes.terminated, ElementsAre(100u));
}

TEST_F(RecoveryFixture, UnprovenTerminationIsReported) {
  fake.processes.table[100].terminate_refused = true;
  EXPECT_THAT(stop_service_confirmed(context, *service, true),
              FailsExactly("helper repair: exact own service termination unconfirmed"));
}

TEST_F(RecoveryFixture, NoRecoveryWithoutRepair) {
  EXPECT_THAT(stop_service_confirmed(context, *service, false), FailsWith("remains unconfirmed"));
  EXPECT_TRUE(fake.processes.terminated.empty());
}

TEST_F(StopFixture, CaptureErrorTexts) {
  struct Case {
    const char* name;
    testing::FakeProcess process;
    const char* error;
  };
  const Case cases[] = {
      {"open refused", {.image_path = kImage, .open_error = 5u},
       "helper repair: process identity cannot be inspected (5)"},
      {"no times", {.image_path = kImage, .times_fail = true}, "helper repair: process creation identity unavailable"},
      {"zero birth", {.created = 0, .image_path = kImage}, "helper repair: empty process creation identity"},
      {"image unreadable while alive", {.created = 77, .image_path = kImage, .image_error = 31u},
       "helper repair: process image identity unavailable; api=QueryFullProcessImageNameW win32=31 "
       "stage=initial_inventory pid=100 birth=77; retained_wait=not_signaled"},
      {"image unreadable and wait failed", {.created = 77, .image_path = kImage, .image_error = 31u, .wait_fails = true},
       "helper repair: process image identity unavailable; api=QueryFullProcessImageNameW win32=31 "
       "stage=initial_inventory pid=100 birth=77; retained_wait=unknown: helper repair: retained process wait failed"},
  };
  for (const auto& c : cases) {
    fake.processes.table[100] = c.process;
    auto captured = capture_process_identity(fake.processes, 100, kImage, STAGE_INITIAL_INVENTORY, {});
    EXPECT_THAT(captured, FailsExactly(c.error)) << c.name;
    EXPECT_EQ(fake.processes.open_handles, 0) << c.name;
  }
  // An image that cannot be read from a process that has exited is not ours.
  fake.processes.table[100] = {.created = 77, .image_path = kImage, .exit_code = 0, .image_error = 31u};
  auto exited = capture_process_identity(fake.processes, 100, kImage, STAGE_INITIAL_INVENTORY, {});
  ASSERT_THAT(exited, Succeeds());
  EXPECT_TRUE(std::holds_alternative<NotOurs>(*exited));
}

TEST_F(StopFixture, StoppedInventoryKnowsHeldProcessesWithoutTheirImage) {
  add_image_process(100, 5000);
  auto first = capture_process_identity(fake.processes, 100, kImage, STAGE_INITIAL_INVENTORY, {});
  ASSERT_THAT(first, Succeeds());
  Inventory held;
  held.push_back(std::move(std::get<RetainedProcess>(*first)));
  fake.processes.table[100].image_error = 5;
  auto again = capture_process_identity(fake.processes, 100, kImage, STAGE_STOPPED_INVENTORY, held);
  ASSERT_THAT(again, Succeeds());
  EXPECT_TRUE(std::holds_alternative<RetainedProcess>(*again));
  // Only the stage of the wait takes the shortcut.
  EXPECT_THAT(capture_process_identity(fake.processes, 100, kImage, STAGE_INITIAL_SCM_PID, held),
              FailsWith("stage=initial_scm_pid pid=100 birth=5000"));
}

TEST_F(StopFixture, InventoryErrors) {
  EXPECT_THAT(inventory_image_processes(fake.processes, "C:\\Vorn\\", STAGE_INITIAL_INVENTORY, {}),
              FailsExactly("helper repair: missing image basename"));
  fake.processes.snapshot_failure = platform::SnapshotFailure::Unavailable;
  EXPECT_THAT(inventory_image_processes(fake.processes, kImage, STAGE_INITIAL_INVENTORY, {}),
              FailsExactly("helper repair: process inventory unavailable"));
  add_image_process(100);
  fake.processes.snapshot_failure = platform::SnapshotFailure::Incomplete;
  EXPECT_THAT(inventory_image_processes(fake.processes, kImage, STAGE_INITIAL_INVENTORY, {}),
              FailsExactly("helper repair: process inventory incomplete"));
  EXPECT_EQ(fake.processes.open_handles, 0);
}

TEST_F(StopFixture, ConfiguredExecutable) {
  struct Case {
    platform::ServiceConfig config;
    std::optional<std::vector<std::string>> split;  // nullopt: the fake's own splitter
    const char* result;                               // the path, or the error
    bool ok;
  };
  const std::string long_path = "C:\\" + std::string(32764, 'a');
  const std::string too_long = long_path + "a";
  const Case cases[] = {
      {{0x10, 2, 1, "\"C:\\Program Files\\Vorn\\vorn-helper.exe\" run"}, std::nullopt, kImage, true},
      {{0x10, 4, 3, "\\\\server\\share\\vorn-helper.exe run"}, std::nullopt, "\\\\server\\share\\vorn-helper.exe", true},
      {{0x10, 2, 1, "\\\\?\\C:\\Vorn\\vorn-helper.exe"}, std::nullopt, "\\\\?\\C:\\Vorn\\vorn-helper.exe", true},
      {{0x10, 5, 1, "C:\\x.exe"}, std::nullopt, "invalid service start type value", false},
      {{0x10, 2, 4, "C:\\x.exe"}, std::nullopt, "invalid service error control value", false},
      {{0x20, 2, 1, "C:\\x.exe"}, std::nullopt, "helper repair: unexpected service type", false},
      {{0x10, 2, 1, "unsplittable"}, std::optional<std::vector<std::string>>(), "", false},
      {{0x10, 2, 1, ""}, std::nullopt, "helper repair: configured executable absent", false},
      {{0x10, 2, 1, "\"\" run"}, std::nullopt, "helper repair: configured executable invalid", false},
      {{0x10, 2, 1, too_long}, std::nullopt, "helper repair: configured executable invalid", false},
      {{0x10, 2, 1, "vorn-helper.exe run"}, std::nullopt, "helper repair: configured executable not absolute", false},
      {{0x10, 2, 1, "C:vorn-helper.exe run"}, std::nullopt, "helper repair: configured executable not absolute", false},
      {{0x10, 2, 1, "\\vorn-helper.exe run"}, std::nullopt, "helper repair: configured executable not absolute", false},
  };
  fake.environment.splits["unsplittable"] = std::nullopt;
  for (const auto& c : cases) {
    fake.services.service->config = c.config;
    auto path = configured_service_executable(fake.environment, *service);
    const std::string expected = c.config.binary_path == "unsplittable"
                                     ? "helper repair: configured executable cannot be parsed"
                                     : c.result;
    if (c.ok) {
      EXPECT_TRUE(path.value_or("(failed)") == expected) << expected;
    } else {
      EXPECT_THAT(path, FailsExactly(expected)) << c.config.binary_path.substr(0, 40);
    }
  }
  fake.services.service->config.binary_path = long_path;
  EXPECT_TRUE(configured_service_executable(fake.environment, *service).value_or("") == long_path);
  fake.services.service->config_error = 1168;
  EXPECT_THAT(configured_service_executable(fake.environment, *service), FailsWith("(os error 1168)"));
}

TEST(ServiceStatus, ExitCodesAndStateNames) {
  auto exit_of = [](std::uint32_t win32, std::uint32_t specific) {
    return exit_code_text(read_service_status({STOPPED, win32, specific, 0})->exit);
  };
  EXPECT_EQ(exit_of(1067, 9), "Win32(1067)");
  EXPECT_EQ(exit_of(1066, 3), "ServiceSpecific(3)");
  EXPECT_FALSE(read_service_status({STOPPED, 0, 0, 44})->pid);
  EXPECT_FALSE(read_service_status({RUNNING, 0, 0, 0})->pid);
  EXPECT_EQ(read_service_status({RUNNING, 0, 0, 44})->pid, 44u);
  EXPECT_EQ(service_state_name(ServiceState::ContinuePending), "ContinuePending");
}

}  // namespace
}  // namespace vorn
