// The real pipe server of a console host, driven over Wine's named pipes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <variant>
#include <vector>

#include "helper_process.hpp"
#include "helper_service/pipe_server.hpp"
#include "helper_service/runtime.hpp"
#include "helper_service/shutdown_signal.hpp"
#include "platform/win32/system.hpp"

namespace vorn::wintest {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

constexpr const char* kPong = "{\"status\":\"ok\",\"data\":{\"pong\":true,\"version\":\"0.12.12\"}}\n";

class PipeServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    store_ = new std::wstring(make_temp_folder(L"vorn-pipe-"));
    helper_ = new ConsoleHelper(*store_);
  }
  static void TearDownTestSuite() {
    delete helper_;
    delete store_;
  }
  void SetUp() override {
    ASSERT_TRUE(helper_->running()) << "the console host did not start";
    token_ = helper_->token();
    ASSERT_EQ(token_.size(), 32u);
  }

  static inline std::wstring* store_ = nullptr;
  static inline ConsoleHelper* helper_ = nullptr;
  std::string token_;
};

TEST_F(PipeServer, AnswersPingAndLogsOneRequestPerConnection) {
  EXPECT_EQ(round_trip(ping_line(token_)), kPong);
  EXPECT_EQ(round_trip(R"({"token":")" + token_ + R"(","request":{"cmd":"logs","since":0}})" "\n"),
            "{\"status\":\"ok\",\"data\":{\"lines\":[],\"next\":0}}\n");
  // A second request on the same connection is never read: the server closes.
  auto client = PipeClient::connect();
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->send(ping_line(token_)));
  EXPECT_EQ(client->read_all(), kPong);
  EXPECT_FALSE(client->send(ping_line(token_)) && !client->read_all().empty());
}

TEST_F(PipeServer, RefusesWrongTokensAndAnswersBadRequestsFirst) {
  std::string wrong = token_;
  wrong[0] = wrong[0] == 'a' ? 'b' : 'a';
  EXPECT_EQ(round_trip(ping_line(wrong)), "{\"status\":\"unauthorized\"}\n");
  EXPECT_EQ(round_trip(ping_line(token_ + "0")), "{\"status\":\"unauthorized\"}\n");
  EXPECT_THAT(round_trip(R"({"token":"wrong","request":{"cmd":"Ping"}})" "\n"), StartsWith("{\"status\":\"error\",\"message\":\"bad request: "));
  EXPECT_THAT(round_trip("garbage\n"), StartsWith("{\"status\":\"error\",\"message\":\"bad request: "));
}

TEST_F(PipeServer, RequestsUpToTheSizeCapAreServed) {
  const std::string head = R"({"token":")" + token_ + R"(","request":{"cmd":"ping"},"pad":")";
  auto padded = [&](std::size_t total) { return head + std::string(total - head.size() - 3, 'x') + "\"}\n"; };
  auto served = PipeClient::connect();
  ASSERT_TRUE(served);
  std::thread([&] { served->send(padded(4194304)); }).join();
  EXPECT_EQ(served->read_all(), kPong);

  auto refused = PipeClient::connect();
  ASSERT_TRUE(refused);
  refused->send(padded(4194305));  // the server stops reading and closes
  EXPECT_EQ(refused->read_all(), "");
}

TEST_F(PipeServer, ASplitRequestIsReadAcrossWrites) {
  auto client = PipeClient::connect();
  ASSERT_TRUE(client);
  const std::string line = ping_line(token_);
  ASSERT_TRUE(client->send(line.substr(0, 10)));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(client->send(line.substr(10)));
  EXPECT_EQ(client->read_all(), kPong);
}

TEST_F(PipeServer, ASilentClientIsClosedAfterTheReadDeadline) {
  auto client = PipeClient::connect();
  ASSERT_TRUE(client);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client->read_all(), "");  // no reply, the server closed its end
  const auto waited = std::chrono::steady_clock::now() - start;
  // The deadline counts from the connection task's start, a moment after the
  // connect; the sweep finds it at most one period late, the rest is slack.
  EXPECT_GE(waited, std::chrono::milliseconds(4500));
  EXPECT_LT(waited, std::chrono::milliseconds(7000));
  auto unterminated = PipeClient::connect();
  ASSERT_TRUE(unterminated);
  ASSERT_TRUE(unterminated->send(R"({"token":"x"})"));
  ::FlushFileBuffers(unterminated->handle());
  EXPECT_EQ(unterminated->read_all(), "");
}

TEST_F(PipeServer, AThirtyThirdClientIsClosedAtOnceWhileThirtyTwoAreHeld) {
  std::vector<PipeClient> held;
  for (int i = 0; i < 32; ++i) {
    auto c = PipeClient::connect();
    ASSERT_TRUE(c) << i;
    held.push_back(std::move(*c));
  }
  // Give the server time to accept all 32 before the next one comes.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto excess = PipeClient::connect();
  ASSERT_TRUE(excess);
  excess->send(ping_line(token_));
  EXPECT_EQ(excess->read_all(), "");  // accepted and closed without a reply

  // One of the held clients is still served normally.
  ASSERT_TRUE(held.front().send(ping_line(token_)));
  EXPECT_EQ(held.front().read_all(), kPong);
  held.clear();
  // Once the others have gone, new clients are served again.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(round_trip(ping_line(token_)), kPong);
}

// A request with the right token whose engine operation fails gets the
// failure's text: a configuration that is not JSON can never connect.
TEST_F(PipeServer, AFailedEngineOperationSaysWhy) {
  const std::string reply = round_trip(R"({"token":")" + token_ +
                                       R"(","request":{"cmd":"connect","config_json":"{","kill_switch":false}})" "\n");
  EXPECT_THAT(reply, StartsWith("{\"status\":\"error\",\"message\":\""));
  EXPECT_THAT(reply, Not(HasSubstr("\"message\":\"\"")));
}

// The accept loop run in this process on the real pipe layer, under a name of
// its own and with short deadlines, so that many deadlines pass quickly.
class PipeServerLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t saved[32768];
    const DWORD n = ::GetEnvironmentVariableW(L"ProgramData", saved, 32768);
    if (n > 0 && n < 32768) saved_program_data_ = saved;
    store_ = make_temp_folder(L"vorn-loop-");
    ::SetEnvironmentVariableW(L"ProgramData", store_.c_str());
    static std::atomic<int> counter{0};
    name_ = "\\\\.\\pipe\\vorn-loop-test-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(counter++);
  }
  void TearDown() override {
    ::SetEnvironmentVariableW(L"ProgramData", saved_program_data_ ? saved_program_data_->c_str() : nullptr);
  }

  // Serves until `signal` is given, then runs `after_drop` on the host thread
  // while the runtime still runs, as the service host's cleanup does. The
  // loop's error, if it failed.
  std::optional<std::string> serve(std::chrono::milliseconds read_timeout, std::shared_ptr<ShutdownSignal> signal,
                                   std::function<void()> after_drop) {
    using namespace asio::experimental::awaitable_operators;
    auto runtime = Runtime::create();
    EXPECT_TRUE(runtime.has_value());
    auto engine = HelperEngine::create(platform::win32_platform());
    EXPECT_TRUE(engine.has_value());
    if (!runtime || !engine) return "no runtime or engine";
    if (prepare_) prepare_(*engine);
    PipeServerOptions options;
    options.name = name_;
    options.read_timeout = read_timeout;
    auto task = [&]() -> asio::awaitable<std::optional<std::string>> {
      auto wait = signal->wait();
      auto server = run_pipe_server(*engine, (*runtime)->blocking(), options);
      auto outcome = co_await (std::move(wait) || std::move(server));
      std::optional<std::string> failed;
      if (auto* error = std::get_if<1>(&outcome)) failed = error->full();
      after_drop();
      co_return failed;
    };
    auto result = (*runtime)->block_on(task());
    return result;
  }

  std::wstring wide_name() const { return std::wstring(name_.begin(), name_.end()); }

  // A client end; waits while every instance is busy or none exists yet.
  win32::unique_hfile open_client() const {
    const std::wstring name = wide_name();
    for (int i = 0; i < 500; ++i) {
      HANDLE h = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      if (h != INVALID_HANDLE_VALUE) return win32::unique_hfile(h);
      if (::GetLastError() == ERROR_PIPE_BUSY) {
        ::WaitNamedPipeW(name.c_str(), 100);
      } else {
        ::Sleep(10);
      }
    }
    return {};
  }

  static std::string read_to_end(HANDLE h) {
    std::string out;
    char buffer[512];
    DWORD got = 0;
    while (::ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0) out.append(buffer, got);
    return out;
  }

  std::string token() const { return read_text_file(store_ + L"\\Vorn\\helper.token"); }

  std::wstring store_;
  std::optional<std::wstring> saved_program_data_;
  std::string name_;
  std::function<void(HelperEngine&)> prepare_;  // before the server starts
};

// Connections that close while the sweep runs never cancel another
// instance's I/O: the listening instance keeps accepting and the loop never
// fails.
TEST_F(PipeServerLoop, ManySilentClientsPastTheirDeadlinesLeaveTheListenerUnharmed) {
  auto signal = std::make_shared<ShutdownSignal>();
  std::atomic<int> pongs{0};
  std::atomic<int> pings{0};
  std::atomic<int> closed_silent{0};
  std::thread clients([&] {
    for (int round = 0; round < 8; ++round) {
      std::vector<std::thread> silent;
      for (int i = 0; i < 24; ++i) {
        silent.emplace_back([&] {
          auto client = open_client();
          if (client && read_to_end(client.get()).empty()) ++closed_silent;
        });
      }
      // A ping between the silent ones, answered while they are closed.
      ++pings;
      if (auto client = open_client()) {
        const std::string line = ping_line(token());
        DWORD written = 0;
        ::WriteFile(client.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        if (read_to_end(client.get()) == kPong) ++pongs;
      }
      for (auto& t : silent) t.join();
    }
    signal->give();
  });
  const auto failed = serve(std::chrono::milliseconds(20), signal, [] {});
  clients.join();
  EXPECT_EQ(failed, std::nullopt);
  EXPECT_EQ(closed_silent.load(), 8 * 24);
  EXPECT_EQ(pongs.load(), pings.load());
}

// A drop may come at any moment of a listen, also just before its connect is
// issued. The drop itself closes the listening instance: the pipe is opened
// in the handler that resumes after the drop, on a context that only this
// thread runs and that is stopped at once, as a host stops its runtime, so no
// later handler could close the instance instead.
TEST_F(PipeServerLoop, AfterADropNoClientCanConnect) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    SCOPED_TRACE(attempt);
    SetUp();  // a fresh pipe name
    auto engine = HelperEngine::create(platform::win32_platform());
    ASSERT_TRUE(engine.has_value());
    BlockingPool pool(2, std::chrono::seconds(1));
    auto signal = std::make_shared<ShutdownSignal>();
    const std::wstring name = wide_name();
    PipeServerOptions options;
    options.name = name_;
    std::optional<std::string> failed;
    DWORD open_error = 0;
    asio::io_context io;
    std::thread stopper([&] {
      for (int i = 0; i < 500 && !::WaitNamedPipeW(name.c_str(), 10); ++i) {
      }
      std::this_thread::sleep_for(std::chrono::microseconds(250 * attempt));
      signal->give();
    });
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
          using namespace asio::experimental::awaitable_operators;
          auto wait = signal->wait();
          auto server = run_pipe_server(*engine, pool, options);
          auto outcome = co_await (std::move(wait) || std::move(server));
          if (auto* error = std::get_if<1>(&outcome)) failed = error->full();
          io.stop();
          win32::unique_hfile client(
              ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
          open_error = client ? 0 : ::GetLastError();
        },
        asio::detached);
    io.run();
    stopper.join();
    EXPECT_EQ(failed, std::nullopt);
    EXPECT_EQ(open_error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  }
}

// A client that never reads its reply is closed once the reply's 3 s are up,
// while other clients are served meanwhile.
TEST_F(PipeServerLoop, AReplyNobodyReadsIsAbandonedAtItsDeadline) {
  // About 2 MB of log lines: far more than the pipe's buffers hold.
  prepare_ = [](HelperEngine& engine) {
    for (int i = 0; i < 2000; ++i) engine.push_log(std::string(1000, 'x'));
  };
  auto signal = std::make_shared<ShutdownSignal>();
  std::chrono::milliseconds closed_after{0};
  int pings = 0;
  int pongs = 0;
  std::thread clients([&] {
    auto stuck = open_client();
    const std::string logs = R"({"token":")" + token() + R"(","request":{"cmd":"logs","since":0}})" "\n";
    DWORD written = 0;
    ::WriteFile(stuck.get(), logs.data(), static_cast<DWORD>(logs.size()), &written, nullptr);
    const auto start = std::chrono::steady_clock::now();
    // Once the server has closed its end, a write fails.
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
      if (!::WriteFile(stuck.get(), " ", 1, &written, nullptr)) break;
      ++pings;
      if (auto client = open_client()) {
        const std::string line = ping_line(token());
        ::WriteFile(client.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        if (read_to_end(client.get()) == kPong) ++pongs;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    closed_after =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    signal->give();
  });
  const auto failed = serve(std::chrono::milliseconds(5000), signal, [] {});
  clients.join();
  EXPECT_EQ(failed, std::nullopt);
  EXPECT_GE(closed_after, std::chrono::milliseconds(2900));
  EXPECT_LT(closed_after, std::chrono::milliseconds(5000));
  EXPECT_GE(pings, 10);
  EXPECT_EQ(pongs, pings);
}

}  // namespace
}  // namespace vorn::wintest
