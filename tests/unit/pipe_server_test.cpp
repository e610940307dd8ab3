#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <deque>
#include <thread>

#include "helper_service/pipe_server.hpp"
#include "helper_service/shutdown_signal.hpp"
#include "support/fake_platform.hpp"
#include "support/matchers.hpp"

namespace vorn {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using vorn::testing::FailsWith;
using vorn::testing::Succeeds;

// A connected instance that delivers scripted reads, then either an end of
// stream or nothing at all (a client that stays silent).
class ScriptedPipe final : public platform::PipeInstance {
 public:
  std::deque<std::string> reads;
  bool eof_after = true;
  std::string written;
  bool closed = false;
  std::size_t write_limit = SIZE_MAX;  // bytes per write

  asio::awaitable<Status> wait_for_client() override { co_return Status{}; }

  asio::awaitable<Result<std::size_t>> read_some(std::span<char> buffer) override {
    if (reads.empty()) {
      if (eof_after) co_return std::size_t{0};
      asio::steady_timer forever(co_await asio::this_coro::executor, std::chrono::hours(1));
      pending_ = &forever;
      co_await forever.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
      pending_ = nullptr;
      co_return fail("read cancelled");
    }
    std::string& front = reads.front();
    const std::size_t n = std::min(front.size(), buffer.size());
    std::copy_n(front.data(), n, buffer.data());
    front.erase(0, n);
    if (front.empty()) reads.pop_front();
    co_return n;
  }

  asio::awaitable<Result<std::size_t>> write_some(std::span<const char> bytes) override {
    const std::size_t n = std::min(bytes.size(), write_limit);
    written.append(bytes.data(), n);
    co_return n;
  }

  void cancel_io() override {
    ++cancels;
    if (pending_ != nullptr) pending_->cancel();
  }

  void close() override {
    closed = true;
    if (on_close) on_close(*this);
  }

  std::function<void(const ScriptedPipe&)> on_close;
  int cancels = 0;

 private:
  asio::steady_timer* pending_ = nullptr;
};

template <class T>
T run(asio::io_context& io, asio::awaitable<T> task) {
  std::optional<T> out;
  asio::co_spawn(io, std::move(task), [&](std::exception_ptr e, T v) {
    if (e) std::rethrow_exception(e);
    out.emplace(std::move(v));
  });
  io.run();
  io.restart();
  return std::move(*out);
}

TEST(PipeServer, InstanceParameters) {
  const auto first = pipe_instance_params(true);
  EXPECT_EQ(first.open_mode, 0x40080003u);
  EXPECT_EQ(pipe_instance_params(false).open_mode, 0x40000003u);
  EXPECT_EQ(first.pipe_mode, 0x8u);
  EXPECT_EQ(first.max_instances, 255u);
  EXPECT_EQ(first.out_buffer_bytes, 65536u);
  EXPECT_EQ(first.in_buffer_bytes, 65536u);
  EXPECT_EQ(first.default_timeout_ms, 0u);
}

TEST(PipeServer, TokenComparison) {
  EXPECT_TRUE(tokens_equal("abc", "abc"));
  EXPECT_TRUE(tokens_equal("", ""));
  EXPECT_FALSE(tokens_equal("abd", "abc"));
  EXPECT_FALSE(tokens_equal("abc", "abcd"));
  EXPECT_FALSE(tokens_equal("", "abc"));
}

TEST(PipeServer, ReadsUntilTheReadThatCarriesALineFeed) {
  asio::io_context io;
  ScriptedPipe pipe;
  pipe.reads = {"{\"tok", "en\":1}", "\n  \n", "never read"};
  EXPECT_EQ(run(io, read_request_line(pipe)).value(), "{\"token\":1}\n  \n");

  ScriptedPipe unterminated;
  unterminated.reads = {"{\"token\":\"x\"}"};
  EXPECT_THAT(run(io, read_request_line(unterminated)), FailsWith("end of stream"));
}

TEST(PipeServer, RequestSizeCapCountsTheLineFeed) {
  asio::io_context io;
  for (std::size_t size : {MAX_REQUEST_BYTES, MAX_REQUEST_BYTES + 1}) {
    ScriptedPipe pipe;
    pipe.reads = {std::string(size - 1, ' ') + "\n"};
    auto got = run(io, read_request_line(pipe));
    if (size == MAX_REQUEST_BYTES) {
      ASSERT_THAT(got, Succeeds());
      EXPECT_EQ(got->size(), size);
    } else {
      EXPECT_THAT(got, FailsWith("size limit"));
    }
  }
}

TEST(PipeServer, WriteReplyLoopsOverShortWrites) {
  asio::io_context io;
  ScriptedPipe pipe;
  pipe.write_limit = 3;
  EXPECT_THAT(run(io, write_reply(pipe, "0123456789\n")), Succeeds());
  EXPECT_EQ(pipe.written, "0123456789\n");
}

TEST(ConnectionSlots, PermitsAreTakenWithoutWaitingAndGivenBack) {
  auto slots = std::make_shared<ConnectionSlots>(2);
  auto a = ConnectionSlots::try_acquire(slots);
  auto b = ConnectionSlots::try_acquire(slots);
  EXPECT_TRUE(a && b);
  EXPECT_FALSE(ConnectionSlots::try_acquire(slots));
  a.reset();
  EXPECT_TRUE(ConnectionSlots::try_acquire(slots));
}

class ClientTask : public ::testing::Test {
 protected:
  static constexpr const char* kToken = "0123456789abcdef0123456789abcdef";

  ClientTask() : engine_(HelperEngine::create(fake_.platform).value()) {}

  // Serves one scripted connection and returns what was written back.
  std::string serve(std::deque<std::string> reads, bool eof_after = true) {
    asio::io_context io;
    BlockingPool pool(2, std::chrono::seconds(1));
    auto pipe = std::make_unique<ScriptedPipe>();
    pipe->reads = std::move(reads);
    pipe->eof_after = eof_after;
    // The task owns and destroys the pipe; keep what it saw.
    pipe->on_close = [this](const ScriptedPipe& p) {
      closed_ = true;
      written_ = p.written;
    };
    closed_ = false;
    written_.clear();
    auto slots = std::make_shared<ConnectionSlots>(1);
    auto context = std::make_shared<ConnectionContext>();
    context->deadlines = DeadlineBoard::create(io.get_executor());
    context->blocking = &pool;
    context->read_timeout = read_timeout_;
    if (runner_) context->run_request = runner_;
    asio::co_spawn(io,
                   handle_pipe_client(std::move(pipe), kToken, engine_, std::move(*ConnectionSlots::try_acquire(slots)),
                                      std::move(context)),
                   asio::detached);
    io.run();
    EXPECT_EQ(slots->available(), 1);  // the permit went back
    return written_;
  }

  std::chrono::steady_clock::duration read_timeout_ = REQUEST_READ_TIMEOUT;
  RequestRunner runner_;
  testing::FakePlatform fake_;
  HelperEngine engine_;
  bool closed_ = false;
  std::string written_;
};

TEST_F(ClientTask, PingWithTheRightToken) {
  EXPECT_EQ(serve({std::string(R"({"token":")") + kToken + R"(","request":{"cmd":"ping"}})" + "\n"}),
            "{\"status\":\"ok\",\"data\":{\"pong\":true,\"version\":\"0.12.12\"}}\n");
  EXPECT_TRUE(closed_);
}

TEST_F(ClientTask, WrongTokensAreUnauthorizedWhateverTheRequest) {
  const std::string wrong_byte = std::string(kToken).replace(31, 1, "0");
  for (const std::string& token : {wrong_byte, std::string(kToken) + "0", std::string()}) {
    EXPECT_EQ(serve({R"({"token":")" + token + R"(","request":{"cmd":"ping"}})" + "\n"}), "{\"status\":\"unauthorized\"}\n");
  }
}

TEST_F(ClientTask, AnEscapedTokenMatchesItsUnescapedText) {
  EXPECT_THAT(serve({R"({"token":"\u0030123456789abcdef0123456789abcdef","request":{"cmd":"ping"}})" "\n"}),
              HasSubstr("\"pong\":true"));
}

TEST_F(ClientTask, BadRequestsAreAnsweredBeforeTheTokenIsLookedAt) {
  EXPECT_THAT(serve({"not json\n"}), StartsWith("{\"status\":\"error\",\"message\":\"bad request: "));
  EXPECT_THAT(serve({R"({"token":"wrong","request":{"cmd":"Ping"}})" "\n"}),
              StartsWith("{\"status\":\"error\",\"message\":\"bad request: "));
  // Two request lines in one write reach the parser together.
  const std::string line = std::string(R"({"token":")") + kToken + R"(","request":{"cmd":"ping"}})" + "\n";
  EXPECT_THAT(serve({line + line}), StartsWith("{\"status\":\"error\",\"message\":\"bad request: "));
}

TEST_F(ClientTask, IncompleteRequestsGetNoReply) {
  EXPECT_EQ(serve({R"({"token":"x")"}), "");  // closed before a line feed
  EXPECT_TRUE(closed_);
}

TEST_F(ClientTask, ASilentClientIsClosedAtTheReadDeadline) {
  read_timeout_ = std::chrono::milliseconds(300);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(serve({"{\"token\""}, /*eof_after=*/false), "");
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(closed_);
  EXPECT_GE(waited, read_timeout_);
  // The sweep finds it at most one period late; the rest is slack for a
  // loaded machine, far below a second deadline.
  EXPECT_LT(waited, read_timeout_ + DEADLINE_SWEEP_PERIOD + std::chrono::milliseconds(700));
}

TEST_F(ClientTask, LogsAreServedFromTheEngine) {
  engine_.push_log("[helper] one");
  EXPECT_EQ(serve({std::string(R"({"token":")") + kToken + R"(","request":{"cmd":"logs","since":0}})" + "\n"}),
            "{\"status\":\"ok\",\"data\":{\"lines\":[\"[helper] one\"],\"next\":1}}\n");
}

TEST_F(ClientTask, CountedRequestsAreCountedOnlyWhileTheEngineCallRuns) {
  struct Case {
    const char* request;
    std::uint64_t during;
  };
  const Case cases[] = {
      {R"({"cmd":"connect","config_json":"{}","kill_switch":false})", 1},
      {R"({"cmd":"provision_core","core_src":"a","wintun_src":"b"})", 1},
      {R"({"cmd":"status"})", 0},
      {R"({"cmd":"ping"})", 0},
  };
  for (const Case& c : cases) {
    std::optional<std::uint64_t> seen;
    runner_ = [&](HelperEngine engine, Request request, std::optional<InFlightGuard> guard) {
      seen = engine.in_flight().load();
      return run_request_blocking(std::move(engine), std::move(request), std::move(guard));
    };
    serve({std::string(R"({"token":")") + kToken + R"(","request":)" + c.request + "}\n"});
    ASSERT_TRUE(seen) << c.request;
    EXPECT_EQ(*seen, c.during) << c.request;
    EXPECT_EQ(engine_.in_flight().load(), 0u) << c.request;
  }
}

TEST_F(ClientTask, ATaskThatBreaksOffIsAnErrorReply) {
  runner_ = [](HelperEngine, Request, std::optional<InFlightGuard>) -> Response { throw std::runtime_error("boom"); };
  EXPECT_THAT(serve({std::string(R"({"token":")") + kToken + R"(","request":{"cmd":"ping"}})" + "\n"}),
              AllOf(StartsWith("{\"status\":\"error\",\"message\":\"helper request failed: task "),
                    HasSubstr("broke off: boom")));
}

// A silent client whose read ends only when cancelled; its close is slow, so
// that a sweep would find it closed but still on the board.
class SilentPipe final : public platform::PipeInstance {
 public:
  std::atomic<bool> cancelled{false};
  std::atomic<bool> closed{false};
  std::atomic<int>& cancels_after_close;
  explicit SilentPipe(std::atomic<int>& faults) : cancels_after_close(faults) {}

  asio::awaitable<Status> wait_for_client() override { co_return Status{}; }
  asio::awaitable<Result<std::size_t>> read_some(std::span<char>) override {
    asio::steady_timer poll(co_await asio::this_coro::executor);
    while (!cancelled) {
      poll.expires_after(std::chrono::milliseconds(2));
      co_await poll.async_wait(asio::use_awaitable);
    }
    co_return fail("read cancelled");
  }
  asio::awaitable<Result<std::size_t>> write_some(std::span<const char> bytes) override { co_return bytes.size(); }
  void cancel_io() override {
    if (closed) ++cancels_after_close;
    cancelled = true;
  }
  void close() override {
    closed = true;
    std::this_thread::sleep_for(DEADLINE_SWEEP_PERIOD * 2);
  }
};

TEST(DeadlineBoard, TheSweepNeverCancelsAPipeItsConnectionHasClosed) {
  asio::io_context io;
  BlockingPool pool(1, std::chrono::seconds(1));
  testing::FakePlatform fake;
  auto engine = HelperEngine::create(fake.platform).value();
  auto context = std::make_shared<ConnectionContext>();
  context->deadlines = DeadlineBoard::create(io.get_executor());
  context->blocking = &pool;
  context->read_timeout = std::chrono::milliseconds(10);
  auto slots = std::make_shared<ConnectionSlots>(MAX_PIPE_CLIENTS);
  std::atomic<int> faults{0};
  // Staggered so that closes of one batch overlap sweeps for the next.
  for (int i = 0; i < 16; ++i) {
    asio::co_spawn(io,
                   [&, i]() -> asio::awaitable<void> {
                     asio::steady_timer stagger(io, std::chrono::milliseconds(30 * i));
                     co_await stagger.async_wait(asio::use_awaitable);
                     co_await handle_pipe_client(std::make_unique<SilentPipe>(faults), "t", engine,
                                                 std::move(*ConnectionSlots::try_acquire(slots)), context);
                   },
                   asio::detached);
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([&] { io.run(); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(faults.load(), 0);
  EXPECT_EQ(slots->available(), static_cast<std::int64_t>(MAX_PIPE_CLIENTS));
}

// Instances that connect only when told to and read nothing until
// cancelled, all on one I/O thread.
class HeldPipes final : public platform::Pipes {
 public:
  struct Security final : platform::PipeSecurity {
    bool& freed;
    explicit Security(bool& f) : freed(f) {}
    ~Security() override { freed = true; }
  };
  class Instance final : public platform::PipeInstance {
   public:
    Instance(HeldPipes& owner, std::size_t index) : owner_(owner), index_(index) {}
    asio::awaitable<Status> wait_for_client() override {
      if (owner_.connect_next > 0) {
        --owner_.connect_next;
        co_return Status{};
      }
      co_return co_await hold();
    }
    asio::awaitable<Result<std::size_t>> read_some(std::span<char>) override {
      auto held = co_await hold();
      if (!held) co_return fail(held.error());
      co_return std::size_t{0};
    }
    asio::awaitable<Result<std::size_t>> write_some(std::span<const char> bytes) override { co_return bytes.size(); }
    void cancel_io() override {
      cancelled_ = true;
      if (timer_) timer_->cancel();
    }
    void close() override { owner_.closed[index_] = true; }

   private:
    asio::awaitable<Status> hold() {
      if (cancelled_) co_return fail("cancelled");
      asio::steady_timer timer(co_await asio::this_coro::executor, std::chrono::hours(1));
      timer_ = &timer;
      co_await timer.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
      timer_ = nullptr;
      co_return fail("cancelled");
    }
    HeldPipes& owner_;
    std::size_t index_;
    bool cancelled_ = false;
    asio::steady_timer* timer_ = nullptr;
  };

  Result<std::unique_ptr<platform::PipeSecurity>> security_descriptor(const std::string&) override {
    return std::make_unique<Security>(security_freed);
  }
  Result<std::unique_ptr<platform::PipeInstance>> create_instance(const asio::any_io_executor&, const std::string&,
                                                                  const platform::PipeInstanceParams&,
                                                                  const platform::PipeSecurity&) override {
    auto instance = std::make_unique<Instance>(*this, instances.size());
    instances.push_back(instance.get());
    closed.push_back(false);
    return instance;
  }

  int connect_next = 0;
  bool security_freed = false;
  std::vector<Instance*> instances;  // valid only while their owners hold them
  std::vector<bool> closed;           // by creation order
};

// Dropping the loop closes the listening instance and frees what the loop
// owns at once, while a connection it started is still being served.
TEST(AcceptLoop, ADropEndsTheLoopButNotTheConnectionsItStarted) {
  testing::FakePlatform fake;
  HeldPipes pipes;
  pipes.connect_next = 1;
  fake.pipes.delegate = &pipes;
  auto engine = HelperEngine::create(fake.platform).value();
  asio::io_context io;
  BlockingPool pool(1, std::chrono::seconds(1));
  auto signal = std::make_shared<ShutdownSignal>();
  bool dropped = false;
  bool listener_closed_at_drop = false;
  std::optional<std::string> failure;
  asio::co_spawn(io,
                 [&]() -> asio::awaitable<void> {
                   using namespace asio::experimental::awaitable_operators;
                   auto wait = signal->wait();
                   auto server = run_pipe_server(engine, pool);
                   auto outcome = co_await (std::move(wait) || std::move(server));
                   if (auto* error = std::get_if<1>(&outcome)) failure = error->full();
                   // Closed by the drop itself: once the host stops the
                   // runtime, no later handler would close it.
                   listener_closed_at_drop = pipes.closed[1];
                   dropped = true;
                 },
                 asio::detached);
  io.run_for(std::chrono::milliseconds(100));
  ASSERT_EQ(failure, std::nullopt);
  ASSERT_EQ(pipes.instances.size(), 2u);  // one connection, one listener
  EXPECT_FALSE(pipes.security_freed);

  signal->give();
  io.run_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(dropped);
  EXPECT_TRUE(listener_closed_at_drop);
  EXPECT_TRUE(pipes.security_freed);
  EXPECT_FALSE(pipes.closed[0]);  // the connection is still being served
  pipes.instances[0]->cancel_io();
  io.run_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(pipes.closed[0]);
}

// Polls `done` for up to five seconds.
bool eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 500; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

TEST(BlockingPool, StartsThreadsOnDemandUpToItsMaximumAndEndsIdleOnes) {
  BlockingPool pool(3, std::chrono::milliseconds(100));
  EXPECT_EQ(pool.threads(), 0u);  // none before the first job

  std::mutex lock;
  std::condition_variable cv;
  bool release = false;
  std::atomic<int> started{0};
  std::atomic<int> finished{0};
  auto job = [&] {
    ++started;
    std::unique_lock guard(lock);
    cv.wait(guard, [&] { return release; });
    ++finished;
  };
  for (int i = 0; i < 5; ++i) pool.post(job);
  ASSERT_TRUE(eventually([&] { return started == 3; }));
  EXPECT_EQ(pool.threads(), 3u);  // the two beyond the maximum wait for a thread
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(started.load(), 3);
  {
    std::lock_guard guard(lock);
    release = true;
  }
  cv.notify_all();
  ASSERT_TRUE(eventually([&] { return finished == 5; }));
  // Idle past the keep-alive, every thread ends; new work starts one again.
  EXPECT_TRUE(eventually([&] { return pool.threads() == 0; }));
  std::atomic<bool> ran{false};
  pool.post([&] { ran = true; });
  EXPECT_TRUE(eventually([&] { return ran.load(); }));
}

TEST(BlockingPool, AnIdleThreadIsReusedRatherThanANewOneStarted) {
  BlockingPool pool(4, std::chrono::seconds(10));
  for (int i = 0; i < 20; ++i) {
    std::atomic<bool> ran{false};
    pool.post([&] { ran = true; });
    ASSERT_TRUE(eventually([&] { return ran.load(); }));
    // Let the thread go back to waiting before the next job comes.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(pool.threads(), 1u);
}

TEST(BlockingPool, DestructionWaitsForRunningJobsAndDropsQueuedOnes) {
  std::atomic<int> done{0};
  std::atomic<bool> running{false};
  {
    BlockingPool pool(1, std::chrono::seconds(10));
    pool.post([&] {
      running = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      ++done;
    });
    pool.post([&] { done += 10; });
    ASSERT_TRUE(eventually([&] { return running.load(); }));
  }
  EXPECT_EQ(done.load(), 1);
}

}  // namespace
}  // namespace vorn
