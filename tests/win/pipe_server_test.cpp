// The real pipe server of a console host, driven over Wine's named pipes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "helper_process.hpp"

namespace vorn::wintest {
namespace {

using ::testing::HasSubstr;
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
  // Figures, not a timing assertion: the deadline is 5 s.
  std::printf("silent client closed after %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()));
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

TEST_F(PipeServer, RequestsNotBuiltYetSayWhy) {
  EXPECT_THAT(round_trip(R"({"token":")" + token_ + R"(","request":{"cmd":"status"}})" "\n"),
              HasSubstr("\"status\":\"error\""));
}

}  // namespace
}  // namespace vorn::wintest
