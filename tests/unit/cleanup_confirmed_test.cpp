// cleanup_confirmed is the setup modes' proof that nothing the engine owned
// is left: every one of its conditions must be able to turn it false on its
// own, on an engine that is otherwise settled.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "helper_engine/core_process.hpp"
#include "helper_engine/engine.hpp"
#include "support/fake_clock.hpp"
#include "support/fake_platform.hpp"
#include "support/held_lock.hpp"
#include "support/matchers.hpp"

namespace vorn {
namespace {

using testing::Succeeds;

constexpr const char* kRecord = "C:\\PD\\Vorn\\core\\sing-box.pid";

// An engine whose cleanup has run: nothing held, owed, recorded or in flight.
struct SettledEngine {
  testing::FakePlatform fake;
  testing::FakeClock clock;
  std::optional<HelperEngine> engine;

  SettledEngine() {
    fake.environment.variables["ProgramData"] = "C:\\PD";
    engine.emplace(std::move(*HelperEngine::create(fake.platform, clock)));
  }

  void change(const std::function<void(EngineState&)>& f) {
    std::lock_guard lock(engine->state_lock());
    f(engine->state());
  }

  // The status report's answer and the setup modes' reading of it.
  std::pair<bool, bool> answers() {
    const std::optional<bool> reported = engine->status().cleanup_confirmed;
    return {reported.value_or(true), owned_cleanup_confirmed(*engine)};
  }
};

TEST(CleanupConfirmed, EachConditionAloneTurnsTheAnswerFalse) {
  struct Case {
    const char* name;
    // Asks for the answers with one condition broken.
    std::function<std::pair<bool, bool>(SettledEngine&)> ask;
    bool confirmed;
  };
  const Case cases[] = {
      {"nothing owned, owed, recorded or in flight", [](SettledEngine& t) { return t.answers(); }, true},
      {"another operation in flight",
       [](SettledEngine& t) {
         InFlightGuard other(*t.engine);
         return t.answers();
       },
       false},
      {"the operation lock held by an operation",
       [](SettledEngine& t) {
         testing::LockHeldElsewhere busy(t.engine->op_lock());
         return t.answers();
       },
       false},
      {"a stop not confirmed",
       [](SettledEngine& t) {
         t.change([](EngineState& s) { s.stop_unconfirmed = true; });
         return t.answers();
       },
       false},
      {"an adapter cleanup owed",
       [](SettledEngine& t) {
         t.change([](EngineState& s) { s.cleanup_pending = true; });
         return t.answers();
       },
       false},
      {"an ownership record on disk",
       [](SettledEngine& t) {
         t.fake.files.files[kRecord] = R"({"pid":7,"created":1,"path":"C:\\x.exe"})";
         return t.answers();
       },
       false},
      // Neither present nor absent: only "absent" proves the record gone.
      {"an ownership record that cannot be looked for",
       [](SettledEngine& t) {
         t.fake.files.presence_unknown.insert(kRecord);
         return t.answers();
       },
       false},
      {"a core child held",
       [](SettledEngine& t) {
         auto child = t.fake.processes.spawn(core_command("C:\\PD\\Vorn\\core\\vorn-core-s.exe"));
         if (!child) return std::pair{true, true};
         t.change([&](EngineState& s) { s.core = std::move(*child); });
         return t.answers();
       },
       false},
  };
  for (const Case& c : cases) {
    SettledEngine t;
    ASSERT_THAT(t.engine->cleanup_owned(), Succeeds()) << c.name;
    const auto [reported, setup_view] = c.ask(t);
    EXPECT_EQ(reported, c.confirmed) << c.name;
    EXPECT_EQ(setup_view, c.confirmed) << c.name;
  }
}

}  // namespace
}  // namespace vorn
