#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/this_coro.hpp>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "helper_engine/store.hpp"
#include "helper_service/hosts.hpp"
#include "helper_service/shutdown_signal.hpp"
#include "support/fake_platform.hpp"
#include "tun_adapter/adapter_cleanup.hpp"

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


// Pipe instances for a service body on the real runtime, safe across its
// threads. The first instance may carry one client with one request whose
// reply write completes only once `reply_gate` is open; every other wait
// lasts until the instance is cancelled or closed.
class ServicePipes final : public platform::Pipes {
 public:
  std::optional<Error> create_error;  // the first instance cannot be created
  bool create_throws = false;         // ... and says so by an exception
  std::string request;                // the first instance's client sends it, when not empty
  std::atomic<bool> reply_gate{true};
  std::atomic<bool> replied{false};
  std::function<void()> on_listen;  // once, when the first listener begins to wait
  std::mutex lock;
  std::string reply;

  class Instance final : public platform::PipeInstance {
   public:
    Instance(ServicePipes& owner, bool client) : owner_(owner), client_(client) {}
    asio::awaitable<Status> wait_for_client() override {
      if (client_) co_return Status{};
      if (!owner_.listened_.exchange(true) && owner_.on_listen) owner_.on_listen();
      co_await hold([] { return false; });
      co_return fail("cancelled");
    }
    asio::awaitable<Result<std::size_t>> read_some(std::span<char> buffer) override {
      if (!sent_ && owner_.request.size() <= buffer.size()) {
        sent_ = true;
        std::copy(owner_.request.begin(), owner_.request.end(), buffer.begin());
        co_return owner_.request.size();
      }
      co_await hold([] { return false; });
      co_return fail("cancelled");
    }
    asio::awaitable<Result<std::size_t>> write_some(std::span<const char> bytes) override {
      co_await hold([this] { return owner_.reply_gate.load(); });
      if (!owner_.reply_gate.load()) co_return fail("cancelled");
      {
        std::lock_guard guard(owner_.lock);
        owner_.reply.append(bytes.data(), bytes.size());
      }
      owner_.replied = true;
      co_return bytes.size();
    }
    void cancel_io() override { cancelled_ = true; }
    void close() override { closed_ = true; }

   private:
    // Polls, so that a cancel or close from any thread ends the wait.
    template <class Done>
    asio::awaitable<void> hold(Done done) {
      asio::steady_timer timer(co_await asio::this_coro::executor);
      while (!done() && !cancelled_ && !closed_) {
        timer.expires_after(std::chrono::milliseconds(2));
        co_await timer.async_wait(asio::use_awaitable);
      }
    }
    ServicePipes& owner_;
    const bool client_;
    bool sent_ = false;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> closed_{false};
  };

  Result<std::unique_ptr<platform::PipeSecurity>> security_descriptor(const std::string&) override {
    return std::make_unique<platform::PipeSecurity>();
  }
  Result<std::unique_ptr<platform::PipeInstance>> create_instance(const asio::any_io_executor&, const std::string&,
                                                                  const platform::PipeInstanceParams&,
                                                                  const platform::PipeSecurity&) override {
    const bool first = !created_.exchange(true);
    if (first && create_throws) throw std::runtime_error("boom");
    if (first && create_error) return fail(*create_error);
    return std::make_unique<Instance>(*this, first && !request.empty());
  }

 private:
  std::atomic<bool> created_{false};
  std::atomic<bool> listened_{false};
};

// One service run as the dispatcher starts it, against the fake service
// manager: the reports in order and the lines the host wrote.
struct ServiceRun {
  static constexpr const char* kToken = "0123456789abcdef0123456789abcdef";

  ServiceRun() {
    fake.pipes.delegate = &pipes;
    fake.files.files[join_path(helper_data_dir(fake.environment), "helper.token")] = kToken;
    // A Stop control from another thread, as the dispatcher delivers it,
    // once the server listens.
    pipes.on_listen = [this] {
      stopper = std::thread([this] { stop_result = fake.services.control_handler(1); });
    };
  }

  void run() {
    service_main(fake.platform, [this](std::string_view line) {
      std::lock_guard guard(lines_lock);
      lines.emplace_back(line);
    });
    if (stopper.joinable()) stopper.join();
  }

  std::vector<std::uint32_t> states() const {
    std::vector<std::uint32_t> out;
    for (const auto& r : fake.services.reports) out.push_back(r.current_state);
    return out;
  }

  testing::FakePlatform fake;
  ServicePipes pipes;
  std::thread stopper;
  std::uint32_t stop_result = 99;
  std::mutex lines_lock;
  std::vector<std::string> lines;
};

constexpr std::uint32_t kRunning = 4, kStopped = 1;

TEST(ServiceBody, EachEndReportsStoppedAsItsOutcomeSays) {
  testing::FakeDevices failing;
  failing.open_error = 5;
  const std::string cleanup_error = run_adapter_cleanup_bounded(failing, ADAPTER_CLEANUP_LIMIT).error().full();
  struct Case {
    const char* name;
    bool server_fails;
    bool server_throws;
    bool cleanup_fails;
    bool stopped_report_fails;
    std::uint32_t exit_code;
    std::uint32_t specific_code;
    std::vector<std::string> lines;
  } cases[] = {
      {"stop control", false, false, false, false, 0, 0, {}},
      {"pipe server failure", true, false, false, false, 0, 0,
       {"[vorn-helper] pipe server error: All pipe instances are busy. (os error 231)"}},
      {"server task throws", false, true, false, false, 1066, 1,
       {"[vorn-helper] service error: helper: pipe server broke off: boom"}},
      {"failed cleanup", false, false, true, false, 1066, 1, {"[vorn-helper] service error: " + cleanup_error}},
      {"server task throws, cleanup fails", false, true, true, false, 1066, 1,
       {"[vorn-helper] service error: helper: pipe server broke off: boom",
        "[vorn-helper] service error: " + cleanup_error}},
      {"failed stopped report", false, false, true, true, 1066, 1,
       {"[vorn-helper] service error: IO error in winapi call"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ServiceRun service;
    if (c.server_fails) service.pipes.create_error = Error::os(231, "All pipe instances are busy.");
    service.pipes.create_throws = c.server_throws;
    if (c.cleanup_fails) service.fake.devices.open_error = 5;
    if (c.stopped_report_fails) service.fake.services.failing_report_state = kStopped;
    std::size_t lines_before_stopped = 0;
    service.fake.services.on_report = [&](const platform::ServiceStatusReport& r) {
      std::lock_guard guard(service.lines_lock);
      if (r.current_state == kStopped) lines_before_stopped = service.lines.size();
    };
    service.run();
    EXPECT_EQ(service.states(), (std::vector<std::uint32_t>{kRunning, kStopped}));
    ASSERT_EQ(service.fake.services.reports.size(), 2u);
    const auto& stopped = service.fake.services.reports[1];
    EXPECT_EQ(stopped.service_type, 0x10u);
    EXPECT_EQ(stopped.controls_accepted, 0u);
    EXPECT_EQ(stopped.win32_exit_code, c.exit_code);
    EXPECT_EQ(stopped.service_specific_exit_code, c.specific_code);
    EXPECT_EQ(stopped.check_point, 0u);
    EXPECT_EQ(stopped.wait_hint, 0u);
    EXPECT_EQ(service.lines, c.lines);
    // Only the server's own line may come before the report.
    EXPECT_EQ(lines_before_stopped, c.server_fails ? 1u : 0u);
    if (!c.server_fails && !c.server_throws) EXPECT_EQ(service.stop_result, 0u);
    // The cleanup ran on every road, also after a task that broke off (a
    // failing one shows by its line).
    if (!c.cleanup_fails) EXPECT_GT(service.fake.devices.sets_opened.load(), 0);
  }
}

// The server task sets the stopping flag once the server is gone, so no
// operation that comes after it can start a core.
TEST(ServiceBody, TheServerTaskSetsTheStoppingFlag) {
  ServiceRun service;
  service.pipes.on_listen = nullptr;
  auto engine = HelperEngine::create(service.fake.platform).value();
  auto runtime = Runtime::create().value();
  auto signal = std::make_shared<ShutdownSignal>();
  signal->give();
  EXPECT_TRUE(runtime->block_on(service_pipe_server(engine, signal, runtime->blocking(), [](std::string_view) {})));
  EXPECT_TRUE(engine.stopping().load());
}

// A request that reached the helper before the Stop is answered while the
// final cleanup runs: the runtime serves on until the Stopped report.
TEST(ServiceBody, AStartedRequestIsAnsweredDuringTheFinalCleanup) {
  ServiceRun service;
  service.pipes.request = std::string(R"({"token":")") + ServiceRun::kToken + R"(","request":{"cmd":"ping"}})" + "\n";
  service.pipes.reply_gate = false;
  std::atomic<bool> replied_in_cleanup{false};
  // The adapter walk is part of the cleanup: the reply may go out only now.
  service.fake.devices.on_open = [&] {
    service.pipes.reply_gate = true;
    for (int i = 0; i < 500 && !service.pipes.replied; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    replied_in_cleanup = service.pipes.replied.load();
  };
  service.run();
  EXPECT_TRUE(replied_in_cleanup);
  std::lock_guard guard(service.pipes.lock);
  EXPECT_EQ(service.pipes.reply, R"({"status":"ok","data":{"pong":true,"version":"0.12.12"}})" "\n");
  EXPECT_EQ(service.states(), (std::vector<std::uint32_t>{kRunning, kStopped}));
  EXPECT_TRUE(service.lines.empty());
}

}  // namespace
}  // namespace vorn
