#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "helper_engine/engine.hpp"
#include "helper_service/setup_failure.hpp"
#include "helper_service/setup_modes.hpp"
#include "support/fake_platform.hpp"
#include "support/held_lock.hpp"
#include "support/matchers.hpp"

namespace vorn {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::FailsExactly;
using testing::Succeeds;

constexpr const char* kImage = "C:\\Program Files\\Vorn\\vorn-helper.exe";
constexpr const char* kRecord = "C:\\ProgramData\\Vorn\\helper.sha256";
constexpr std::uint32_t STOPPED = platform::SERVICE_STATE_STOPPED;
constexpr std::uint32_t RUNNING = platform::SERVICE_STATE_RUNNING;

struct ModeSetup {
  testing::FakePlatform fake;
  SetupClock::time_point now{std::chrono::hours(1)};
  std::vector<std::chrono::nanoseconds> sleeps;
  int cleanups = 0;
  Status cleanup_result;
  std::function<void()> during_cleanup;
  SetupContext context{fake.platform,
                       {[this] { return now; },
                        [this](std::chrono::nanoseconds d) {
                          sleeps.push_back(d);
                          now += d;
                        }},
                       [this](platform::Platform&) {
                         ++cleanups;
                         if (during_cleanup) during_cleanup();
                         return cleanup_result;
                       }};

  ModeSetup() {
    fake.files.files[kImage] = "helper image";
    // A started service reports Running at the first query.
    fake.services.on_start = [this] { fake.services.service->statuses = {{RUNNING, 0, 0, 77}}; };
  }
  void register_stopped() { fake.services.service.emplace(); }
  std::vector<std::string>& calls() { return fake.services.calls; }
  void remove_image() { fake.files.files.erase(kImage); }
};

struct ModeFixture : ::testing::Test, ModeSetup {};

TEST_F(ModeFixture, InstallWithoutRegistrationCreatesAndStarts) {
  EXPECT_THAT(install_service(context, false), Succeeds());
  EXPECT_THAT(calls(), ElementsAre("open_database 3", "open_service VornHelper 55", "create_service VornHelper 55",
                                   "set_description", "start", "query_status"));
  ASSERT_EQ(fake.services.registrations.size(), 1u);
  const auto& r = fake.services.registrations[0];
  EXPECT_EQ(r.name, "VornHelper");
  EXPECT_EQ(r.display_name, "Vorn Tunnel Helper");
  EXPECT_EQ(r.binary_path, "\"C:\\Program Files\\Vorn\\vorn-helper.exe\" run");
  EXPECT_EQ(r.service_type, 0x10u);
  EXPECT_EQ(r.start_type, 2u);
  EXPECT_EQ(r.error_control, 1u);
  EXPECT_EQ(fake.services.service->description, "Manages the Vorn tunnel (TUN adapter + kill-switch).");
  EXPECT_EQ(cleanups, 1);
  EXPECT_TRUE(sleeps.empty());
  EXPECT_THAT(fake.files.files[kRecord], HasSubstr("sha256="));
  EXPECT_EQ(fake.services.open_handles, 0);
}

TEST_F(ModeFixture, InstallOverRegistrationStopsThenReconfigures) {
  register_stopped();
  fake.services.service->config.binary_path = "\"D:\\elsewhere\\vorn-helper.exe\" run";
  fake.services.service->statuses = {{RUNNING, 0, 0, 300}, {STOPPED, 0, 0, 0}};
  // The old service's process runs the registered file, not this one.
  fake.processes.table[300] = {.image_path = "D:\\elsewhere\\vorn-helper.exe"};
  fake.services.on_stop = [this] { fake.processes.table[300].exit_code = 0; };
  EXPECT_THAT(install_service(context, false), Succeeds());
  EXPECT_THAT(calls(), ElementsAre("open_database 3", "open_service VornHelper 55", "query_config", "query_status",
                                   "control_stop", "query_status", "change_config", "set_description", "start",
                                   "query_status"));
  EXPECT_EQ(fake.services.service->config.binary_path, "\"C:\\Program Files\\Vorn\\vorn-helper.exe\" run");
  EXPECT_EQ(fake.services.open_handles, 0);
}

TEST_F(ModeFixture, RepairRefusesAnotherInstallationsRegistration) {
  register_stopped();
  fake.services.service->config.binary_path = "\"D:\\elsewhere\\vorn-helper.exe\" run";
  const Status result = install_service(context, true);
  EXPECT_THAT(result, FailsExactly("helper repair: configured service belongs to another installation"));
  EXPECT_EQ(setup_exit_code(result.error()), 1);
  EXPECT_THAT(calls(), ElementsAre("open_database 3", "open_service VornHelper 55", "query_config"));
  EXPECT_EQ(cleanups, 0);

  fake.services.service->config = {0x20, 2, 1, "\"C:\\Program Files\\Vorn\\vorn-helper.exe\" run"};
  const Status shared = install_service(context, true);
  EXPECT_THAT(shared, FailsExactly("helper repair: unexpected service type"));
  EXPECT_EQ(setup_exit_code(shared.error()), 1);
  EXPECT_EQ(fake.services.open_handles, 0);
}

TEST_F(ModeFixture, RepairOfItsOwnRegistrationMatchesPathsLoosely) {
  register_stopped();
  fake.services.service->config.binary_path = "\"c:/program files/vorn/VORN-HELPER.EXE\" run";
  EXPECT_THAT(install_service(context, true), Succeeds());
  EXPECT_EQ(cleanups, 1);
}

TEST_F(ModeFixture, InstallFailureCodesAndTexts) {
  struct Case {
    const char* name;
    std::function<void(ModeSetup&)> arrange;
    const char* error;
  };
  const Case cases[] = {
      {"not elevated", [](ModeSetup& f) { f.fake.environment.elevated = false; },
       "setup stage 20: helper repair: elevated installer required"},
      {"own path unknown", [](ModeSetup& f) { f.fake.environment.own_image.reset(); },
       "setup stage 23: own image path unavailable: The data area passed to a system call is too small. (os error 122)"},
      {"image gone before", [](ModeSetup& f) { f.remove_image(); },
       "setup stage 23: C:\\Program Files\\Vorn\\vorn-helper.exe no longer exists (before registration); likely "
       "removed by antivirus"},
      {"no service manager", [](ModeSetup& f) { f.fake.services.open_database_error = 5; },
       "setup stage 21: service manager: win32=5"},
      {"service not openable", [](ModeSetup& f) { f.fake.services.open_service_error = 5; },
       "setup stage 21: open service: win32=5"},
      {"cleanup fails",
       [](ModeSetup& f) { f.cleanup_result = fail(Error("inner").context("helper: cleanup failed")); },
       "setup stage 22: helper: cleanup failed: inner"},
      {"stop unconfirmed",
       [](ModeSetup& f) {
         f.register_stopped();
         f.fake.services.service->statuses = {{2, 0, 0, 0}};
       },
       "setup stage 22: helper repair: active service process identity unavailable"},
      {"image gone after cleanup", [](ModeSetup& f) { f.during_cleanup = [&f] { f.remove_image(); }; },
       "setup stage 23: C:\\Program Files\\Vorn\\vorn-helper.exe no longer exists (after cleanup); likely removed by "
       "antivirus"},
      {"create fails", [](ModeSetup& f) { f.fake.services.create_error = 1072; }, "setup stage 24: create: win32=1072"},
      {"reconfigure fails",
       [](ModeSetup& f) {
         f.register_stopped();
         f.fake.services.service->change_error = 5;
       },
       "setup stage 24: reconfigure: win32=5"},
      {"start fails",
       [](ModeSetup& f) {
         f.register_stopped();
         f.fake.services.service->start_error = 1053;
       },
       "setup stage 25: start: win32=1053"},
      {"start fails, image gone",
       [](ModeSetup& f) {
         f.register_stopped();
         f.fake.services.service->start_error = 1053;
         f.fake.services.on_start = [&f] { f.remove_image(); };
       },
       "setup stage 23: C:\\Program Files\\Vorn\\vorn-helper.exe no longer exists (at start); likely removed by "
       "antivirus"},
      {"stopped at once",
       [](ModeSetup& f) {
         f.fake.services.on_start = [&f] { f.fake.services.service->statuses = {{STOPPED, 1067, 0, 0}}; };
       },
       "setup stage 26: the service stopped right after start; exit=Win32(1067)"},
      {"stopped with its own code",
       [](ModeSetup& f) {
         f.fake.services.on_start = [&f] { f.fake.services.service->statuses = {{STOPPED, 1066, 4, 0}}; };
       },
       "setup stage 26: the service stopped right after start; exit=ServiceSpecific(4)"},
      {"stopped, image gone",
       [](ModeSetup& f) {
         f.fake.services.on_start = [&f] {
           f.fake.services.service->statuses = {{STOPPED, 1067, 0, 0}};
           f.remove_image();
         };
       },
       "setup stage 23: C:\\Program Files\\Vorn\\vorn-helper.exe no longer exists (after start); likely removed by "
       "antivirus"},
      {"status query fails",
       [](ModeSetup& f) {
         f.fake.services.on_start = [&f] { f.fake.services.service->query_fails_at = f.fake.services.queries; };
       },
       "setup stage 1: status query: win32=6"},
  };
  for (const auto& c : cases) {
    ModeSetup f;
    c.arrange(f);
    const Status result = install_service(f.context, false);
    EXPECT_THAT(result, FailsExactly(c.error)) << c.name;
    if (!result) {
      EXPECT_EQ(setup_exit_code(result.error()), result.error().find_setup_failure()->code) << c.name;
    }
    EXPECT_EQ(f.fake.services.open_handles, 0) << c.name;
  }
}

// The description only fills the services list: its refusal fails nothing,
// and the service is still started.
TEST_F(ModeFixture, InstallSucceedsWhenTheDescriptionIsRefused) {
  struct Case {
    const char* name;
    std::function<void(ModeSetup&)> arrange;
  };
  const Case cases[] = {
      {"created", [](ModeSetup& f) { f.fake.services.created_describe_error = 5; }},
      {"reconfigured",
       [](ModeSetup& f) {
         f.register_stopped();
         f.fake.services.service->describe_error = 1072;
       }},
  };
  for (const auto& c : cases) {
    for (bool repair : {false, true}) {
      ModeSetup f;
      c.arrange(f);
      EXPECT_THAT(install_service(f.context, repair), Succeeds()) << c.name << repair;
      const auto& calls = f.calls();
      const auto described = std::find(calls.begin(), calls.end(), "set_description");
      ASSERT_NE(described, calls.end()) << c.name << repair;
      EXPECT_THAT(std::vector(described + 1, calls.end()), ElementsAre("start", "query_status")) << c.name << repair;
      EXPECT_FALSE(f.fake.services.service->description) << c.name << repair;
      EXPECT_EQ(f.fake.services.open_handles, 0) << c.name << repair;
    }
  }
}

TEST_F(ModeFixture, NotElevatedInstallNeverOpensTheServiceManager) {
  fake.environment.elevated = false;
  EXPECT_FALSE(install_service(context, false));
  EXPECT_TRUE(calls().empty());
}

TEST_F(ModeFixture, StartPendingIsGivenNinetySecondsInQuarterSeconds) {
  fake.services.on_start = [this] { fake.services.service->statuses = {{2, 0, 0, 0}}; };
  const Status result = install_service(context, false);
  EXPECT_THAT(result, FailsExactly("setup stage 27: service not Running after 90s; state=StartPending"));
  EXPECT_TRUE(is_tolerated_setup_failure(result.error()));
  EXPECT_EQ(sleeps.size(), 360u);
  EXPECT_TRUE(std::ranges::all_of(sleeps, [](auto d) { return d == std::chrono::milliseconds(250); }));
}

TEST_F(ModeFixture, UninstallStopsCleansAndDeletes) {
  EXPECT_THAT(uninstall_service(context), Succeeds());
  EXPECT_THAT(calls(), ElementsAre("open_database 1", "open_service VornHelper 65573"));
  EXPECT_EQ(cleanups, 1);

  calls().clear();
  register_stopped();
  EXPECT_THAT(uninstall_service(context), Succeeds());
  EXPECT_THAT(calls(), ElementsAre("open_database 1", "open_service VornHelper 65573", "query_config", "query_status",
                                   "query_status", "remove"));
  EXPECT_FALSE(fake.files.files.count(kRecord));  // uninstall records nothing
  EXPECT_EQ(fake.services.open_handles, 0);
}

TEST_F(ModeFixture, UninstallAndUpgradeFailuresArePlain) {
  struct Case {
    const char* name;
    std::function<void(ModeSetup&)> arrange;
    const char* error;
  };
  const Case cases[] = {
      {"not elevated", [](ModeSetup& f) { f.fake.environment.elevated = false; },
       "helper repair: elevated installer required"},
      {"no service manager", [](ModeSetup& f) { f.fake.services.open_database_error = 5; },
       "IO error in winapi call: system message (os error 5)"},
      {"cleanup unconfirmed",
       [](ModeSetup& f) { f.cleanup_result = fail("helper repair: owned cleanup remains unconfirmed"); },
       "helper repair: owned cleanup remains unconfirmed"},
  };
  for (const auto& c : cases) {
    for (bool upgrade : {false, true}) {
      ModeSetup f;
      c.arrange(f);
      const Status result = upgrade ? prepare_upgrade(f.context) : uninstall_service(f.context);
      EXPECT_THAT(result, FailsExactly(c.error)) << c.name << upgrade;
      if (!result) {
        EXPECT_EQ(setup_exit_code(result.error()), 1);
      }
    }
  }
  ModeSetup f;
  f.register_stopped();
  f.fake.services.service->delete_error = 1072;
  EXPECT_THAT(uninstall_service(f.context), FailsExactly("IO error in winapi call: system message (os error 1072)"));
}

TEST_F(ModeFixture, PrepareUpgradeRecordsFirstAndLeavesTheServiceRegistered) {
  fake.services.open_database_error = 5;
  EXPECT_FALSE(prepare_upgrade(context));
  EXPECT_THAT(fake.files.files[kRecord], HasSubstr("sha256="));

  ModeSetup f;
  f.register_stopped();
  EXPECT_THAT(prepare_upgrade(f.context), Succeeds());
  EXPECT_THAT(f.calls(), ElementsAre("open_database 1", "open_service VornHelper 37", "query_config", "query_status",
                                     "query_status"));
  EXPECT_EQ(f.cleanups, 1);

  // Without its own path it still does its work, only unrecorded.
  ModeSetup g;
  g.fake.environment.own_image.reset();
  EXPECT_THAT(prepare_upgrade(g.context), Succeeds());
  EXPECT_FALSE(g.fake.files.files.count(kRecord));
}

// The setup modes' proof that nothing owned is left: a fresh engine still owes
// its adapter cleanup, and a core record on disk is something owned.
TEST(OwnedCleanupConfirmed, OnlyWithNothingOwedHeldOrRecorded) {
  testing::FakePlatform fake;
  auto engine = HelperEngine::create(fake.platform);
  ASSERT_TRUE(engine);
  EXPECT_FALSE(owned_cleanup_confirmed(*engine));
  {
    std::lock_guard lock(engine->state_lock());
    engine->state().cleanup_pending = false;
  }
  EXPECT_TRUE(owned_cleanup_confirmed(*engine));
  fake.files.files["C:\\ProgramData\\Vorn\\core\\sing-box.pid"] = "{}";
  EXPECT_FALSE(owned_cleanup_confirmed(*engine));
  fake.files.files.clear();
  {
    InFlightGuard busy(*engine);
    EXPECT_FALSE(owned_cleanup_confirmed(*engine));
  }
  testing::LockHeldElsewhere held(engine->op_lock());
  EXPECT_FALSE(owned_cleanup_confirmed(*engine));
}

TEST(SetupRegistration, ExecutableIsOneQuotedArgument) {
  struct Case {
    const char* path;
    const char* binary_path;
  };
  const Case cases[] = {
      {"C:\\Vorn\\vorn-helper.exe", "C:\\Vorn\\vorn-helper.exe run"},
      {"C:\\Program Files\\Vorn\\vorn-helper.exe", "\"C:\\Program Files\\Vorn\\vorn-helper.exe\" run"},
      {"C:\\a\tb\\x.exe", "\"C:\\a\tb\\x.exe\" run"},
      {"C:\\odd\"name\\x.exe", "\"C:\\odd\\\"name\\x.exe\" run"},
      {"C:\\dir with space\\", "\"C:\\dir with space\\\\\" run"},
      {"", "\"\" run"},
  };
  for (const auto& c : cases) EXPECT_EQ(helper_registration(c.path).binary_path, c.binary_path) << c.path;
}

}  // namespace
}  // namespace vorn
