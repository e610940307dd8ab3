#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "helper_engine/engine.hpp"
#include "helper_engine/log_ring.hpp"
#include "support/fake_platform.hpp"

namespace vorn {
namespace {

LogRing ring_after(std::size_t pushes) {
  LogRing ring;
  for (std::size_t i = 0; i < pushes; ++i) ring.push("line " + std::to_string(i));
  return ring;
}

TEST(LogRing, TrimsInBulkPastTheLimit) {
  const LogRing full = ring_after(3000);
  EXPECT_EQ(full.lines.size(), 3000u);
  EXPECT_EQ(full.dropped, 0u);
  const LogRing trimmed = ring_after(3001);
  EXPECT_EQ(trimmed.lines.size(), 2000u);
  EXPECT_EQ(trimmed.dropped, 1001u);
  EXPECT_EQ(trimmed.lines.front(), "line 1001");
  EXPECT_EQ(ring_after(4002).dropped, 2002u);  // the next trim comes 1001 pushes later
}

TEST(LogRing, CursorsSelectLinesAfterATrim) {
  const LogRing ring = ring_after(3001);
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  struct Case {
    std::uint64_t since;
    std::size_t count;
    std::string first;
  } cases[] = {
      {0, 2000, "line 1001"},     // behind the trimmed front: everything held, no mark of the loss
      {2000, 1001, "line 2000"},  // exactly the lines from that cursor on
      {3000, 1, "line 3000"},
      {3001, 0, ""},              // the next cursor: nothing new
      {5000, 2000, "line 1001"},  // from another engine: everything held
      {kMax, 0, ""},              // only asks for the cursor
  };
  for (const auto& c : cases) {
    const LogsData data = ring.read(c.since);
    EXPECT_EQ(data.next, 3001u) << c.since;
    ASSERT_EQ(data.lines.size(), c.count) << c.since;
    if (c.count > 0) {
      EXPECT_EQ(data.lines.front(), c.first) << c.since;
    }
  }
}

TEST(Engine, FreshEngineStateAndLogs) {
  testing::FakePlatform fake;
  auto engine = HelperEngine::create(fake.platform);
  ASSERT_TRUE(engine.has_value());
  const LogsData data = engine->logs(0);
  EXPECT_TRUE(data.lines.empty());
  EXPECT_EQ(data.next, 0u);
  std::lock_guard lock(engine->state_lock());
  EXPECT_TRUE(engine->state().cleanup_pending);
  EXPECT_EQ(engine->state().mode, "none");
  EXPECT_EQ(engine->state().run_generation, 0u);
  EXPECT_EQ(engine->state().stop_generation, 0u);
}

TEST(Engine, ClonesShareOneStateAndEnginesHaveDistinctInstances) {
  testing::FakePlatform fake;
  auto a = HelperEngine::create(fake.platform);
  auto b = HelperEngine::create(fake.platform);
  ASSERT_TRUE(a && b);
  EXPECT_NE(a->instance(), b->instance());
  EXPECT_EQ(a->instance().size(), 36u);
  EXPECT_EQ(a->instance()[14], '4');  // version 4
  const HelperEngine clone = *a;
  clone.push_log("[helper] core stop confirmed");
  EXPECT_EQ(a->logs(0).lines, std::vector<std::string>{"[helper] core stop confirmed"});
  EXPECT_TRUE(b->logs(0).lines.empty());
}

TEST(Engine, CannotBeBuiltWithoutRandomness) {
  testing::FakePlatform fake;
  fake.random.fails = true;
  EXPECT_FALSE(HelperEngine::create(fake.platform).has_value());
}

TEST(InFlightGuard, CountsWhileAliveAndSurvivesAMove) {
  testing::FakePlatform fake;
  auto engine = HelperEngine::create(fake.platform);
  ASSERT_TRUE(engine);
  {
    InFlightGuard first(*engine);
    std::optional<InFlightGuard> moved;
    moved.emplace(std::move(first));
    EXPECT_EQ(engine->in_flight().load(), 1u);
    InFlightGuard second(*engine);
    EXPECT_EQ(engine->in_flight().load(), 2u);
    moved.reset();
    EXPECT_EQ(engine->in_flight().load(), 1u);
  }
  EXPECT_EQ(engine->in_flight().load(), 0u);
}

}  // namespace
}  // namespace vorn
