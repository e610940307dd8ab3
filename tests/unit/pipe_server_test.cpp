#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <asio/experimental/as_tuple.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <deque>

#include "helper_service/pipe_server.hpp"
#include "support/fake_platform.hpp"
#include "support/matchers.hpp"

namespace vorn {
namespace {

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
      auto [ec] = co_await forever.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
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
    asio::thread_pool pool(2);
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
    auto deadlines = DeadlineBoard::create(io.get_executor());
    asio::co_spawn(io,
                   handle_pipe_client(std::move(pipe), kToken, engine_, std::move(*ConnectionSlots::try_acquire(slots)),
                                      deadlines, pool),
                   asio::detached);
    io.run();
    pool.join();
    EXPECT_EQ(slots->available(), 1);  // the permit went back
    return written_;
  }

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
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(serve({"{\"token\""}, /*eof_after=*/false), "");
  EXPECT_TRUE(closed_);
  EXPECT_GE(std::chrono::steady_clock::now() - start, REQUEST_READ_TIMEOUT);
}

TEST_F(ClientTask, LogsAreServedFromTheEngine) {
  engine_.push_log("[helper] one");
  EXPECT_EQ(serve({std::string(R"({"token":")") + kToken + R"(","request":{"cmd":"logs","since":0}})" + "\n"}),
            "{\"status\":\"ok\",\"data\":{\"lines\":[\"[helper] one\"],\"next\":1}}\n");
}

TEST_F(ClientTask, CountedRequestsLeaveNoCountBehind) {
  for (const char* request : {R"({"cmd":"connect","config_json":"{}","kill_switch":false})", R"({"cmd":"status"})"}) {
    const std::string reply = serve({std::string(R"({"token":")") + kToken + R"(","request":)" + request + "}\n"});
    EXPECT_THAT(reply, StartsWith("{\"status\":\"error\""));
    EXPECT_EQ(engine_.in_flight().load(), 0u);
  }
}

}  // namespace
}  // namespace vorn
