#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <thread>

#include "helper_service/hosts.hpp"
#include "helper_service/shutdown_signal.hpp"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using namespace asio::experimental::awaitable_operators;

// Waits on the signal for at most `limit`; true when the signal woke it.
bool woken_within(ShutdownSignal& signal, std::chrono::milliseconds limit, std::function<void()> meanwhile = {}) {
  asio::io_context io;
  bool woken = false;
  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        asio::steady_timer timer(io, limit);
        auto r = co_await (signal.wait() || timer.async_wait(asio::use_awaitable));
        woken = r.index() == 0;
      },
      asio::detached);
  std::thread giver;
  if (meanwhile) giver = std::thread(meanwhile);
  io.run();
  if (giver.joinable()) giver.join();
  return woken;
}

TEST(ShutdownSignal, AGiveBeforeTheWaitIsStoredOnce) {
  ShutdownSignal signal;
  signal.give();
  signal.give();  // at most one is stored
  EXPECT_TRUE(woken_within(signal, 2s));
  EXPECT_FALSE(woken_within(signal, 50ms));
}

TEST(ShutdownSignal, AGiveFromAnotherThreadWakesTheWaiter) {
  ShutdownSignal signal;
  EXPECT_TRUE(woken_within(signal, 10s, [&] {
    std::this_thread::sleep_for(50ms);
    signal.give();
  }));
}

TEST(ShutdownSignal, ADroppedWaitLeavesTheNextGiveStored) {
  ShutdownSignal signal;
  EXPECT_FALSE(woken_within(signal, 20ms));
  signal.give();
  EXPECT_TRUE(woken_within(signal, 2s));
}

TEST(ServiceHost, ControlCodes) {
  struct Case {
    std::uint32_t control;
    std::uint32_t result;
    bool gives;
  } cases[] = {{1, 0, true}, {5, 0, true}, {4, 0, false}, {2, 120, false}, {3, 120, false}, {0x20, 120, false}};
  for (const auto& c : cases) {
    ShutdownSignal signal;
    EXPECT_EQ(service_control_handler(signal, c.control), c.result) << c.control;
    EXPECT_EQ(woken_within(signal, 20ms), c.gives) << c.control;
  }
}

TEST(ServiceHost, StatusReports) {
  const auto running = running_report();
  EXPECT_EQ(running.service_type, 0x10u);
  EXPECT_EQ(running.current_state, 4u);
  EXPECT_EQ(running.controls_accepted, 5u);
  EXPECT_EQ(running.win32_exit_code, 0u);
  const auto clean = stopped_report(true);
  EXPECT_EQ(clean.current_state, 1u);
  EXPECT_EQ(clean.controls_accepted, 0u);
  EXPECT_EQ(clean.win32_exit_code, 0u);
  EXPECT_EQ(clean.service_specific_exit_code, 0u);
  const auto failed = stopped_report(false);
  EXPECT_EQ(failed.win32_exit_code, 1066u);
  EXPECT_EQ(failed.service_specific_exit_code, 1u);
}

}  // namespace
}  // namespace vorn
