// Requests that reach the engine at the same time, from separate clients over
// the real pipe: the test-pins helper in console mode, provisioned with the
// stand-in core. The operation lock decides their order; whatever it is, one
// core at most runs, it runs with its ownership record, and only the newest
// stop authority stops it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cwctype>
#include <mutex>
#include <thread>

#include "helper_process.hpp"
#include "support/json.hpp"

#include <tlhelp32.h>  // after windows.h, which helper_process.hpp brings

namespace vorn::wintest {
namespace {

constexpr const char* kStale = "E_CORE_ORPHAN: stale helper stop authority";

std::wstring lower(std::wstring text) {
  for (auto& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

// Lets every client thread go at once, so that their requests meet at the
// engine rather than one after the other.
class StartLine {
 public:
  explicit StartLine(int clients) : waiting_(clients) {}
  void arrive_and_wait() {
    std::unique_lock lock(mutex_);
    if (--waiting_ == 0) changed_.notify_all();
    changed_.wait(lock, [this] { return waiting_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int waiting_;
};

class ConcurrentRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    program_data = make_temp_folder(L"vorn-concurrent-");
    tag = lower(program_data.substr(program_data.find_last_of(L'\\') + 1));
    helper.emplace(program_data, testpins_helper_exe());
    ASSERT_TRUE(helper->running());
    token = helper->token();
    const Json provisioned = ask(R"({"cmd":"provision_core","core_src":)" + text(stand_in_core_exe()) +
                                 R"(,"wintun_src":)" + text(stand_in_wintun_file()) + "}");
    ASSERT_EQ(provisioned["status"], "ok") << provisioned.dump();
  }

  void TearDown() override {
    // The console host never cleans up: what it owns is stopped here.
    if (helper && helper->running()) {
      const Json now = status();
      if (now.is_object()) disconnect_owned(now["stop_authority"]);
    }
    helper.reset();
  }

  static std::string text(const std::wstring& w) { return Json(win32::narrow(w)).dump(); }

  Json ask(const std::string& request) const {
    return Json::parse(round_trip(request_line(token, request)), nullptr, false);
  }

  // A core that runs until it is stopped.
  Json connect() const {
    const Json config = {{"stand_in", {{"launches", Json::array({Json::object()})}}}};
    return ask(R"({"cmd":"connect","kill_switch":false,"config_json":)" + Json(config.dump()).dump() + "}");
  }

  Json disconnect_owned(const Json& authority) const {
    return ask(R"({"cmd":"disconnect_owned","authority":)" + authority.dump() + "}");
  }

  Json status() const { return ask(R"({"cmd":"status"})")["data"]; }

  // The live stand-in cores started from this helper's store.
  std::vector<DWORD> live_cores() const {
    std::vector<DWORD> found;
    win32::unique_hfile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return found;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
      if (lower(entry.szExeFile) != L"vorn-core-s.exe") continue;
      win32::unique_handle process(
          ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID));
      if (!process || ::WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) continue;
      wchar_t path[1024];
      DWORD size = 1024;
      if (!::QueryFullProcessImageNameW(process.get(), 0, path, &size)) continue;
      if (lower(std::wstring(path, size)).find(tag) != std::wstring::npos) found.push_back(entry.th32ProcessID);
    }
    return found;
  }

  // The process id in the ownership record, or nothing without a record.
  std::optional<DWORD> recorded_core() const {
    const std::string record = read_text_file(helper->store_file(L"core\\sing-box.pid"));
    if (record.empty()) return std::nullopt;
    const Json parsed = Json::parse(record, nullptr, false);
    if (!parsed.is_object() || !parsed.contains("pid")) return std::nullopt;
    return parsed["pid"].get<DWORD>();
  }

  // A stopped core may take a moment to leave the process table.
  bool wait_for_cores(std::size_t count) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (live_cores().size() != count) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
  }

  // What must hold once the requests have all been answered: a running core
  // is the one recorded and the only one, and the authority that status
  // hands out is the one given for it; or nothing runs and nothing is
  // recorded.
  void expect_settled(const Json& now) const {
    if (now["running"] == true) {
      EXPECT_EQ(now["mode"], "tun");
      ASSERT_TRUE(wait_for_cores(1));
      const auto cores = live_cores();
      ASSERT_EQ(cores.size(), 1u);
      EXPECT_EQ(recorded_core(), cores[0]);
    } else {
      EXPECT_EQ(now["mode"], "none");
      EXPECT_TRUE(wait_for_cores(0)) << live_cores().size();
      EXPECT_EQ(recorded_core(), std::nullopt);
    }
  }

  std::wstring program_data;
  std::wstring tag;
  std::optional<ConsoleHelper> helper;
  std::string token;
};

TEST_F(ConcurrentRequests, ThreeConnectsAtOnceLeaveTheLastCoreRunning) {
  constexpr int kClients = 3;
  std::vector<Json> replies(kClients);
  {
    StartLine start(kClients);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
      clients.emplace_back([&, i] {
        start.arrive_and_wait();
        replies[i] = connect();
      });
    }
    for (auto& client : clients) client.join();
  }
  std::vector<Json> authorities;
  for (const Json& reply : replies) {
    ASSERT_EQ(reply["status"], "ok") << reply.dump();
    authorities.push_back(reply["data"]["stop_authority"]);
  }
  // The connects ran one after the other: the last to commit holds the
  // newest generation.
  std::ranges::sort(authorities, {}, [](const Json& a) { return a["generation"].get<std::uint64_t>(); });
  for (int i = 1; i < kClients; ++i) {
    EXPECT_LT(authorities[i - 1]["generation"], authorities[i]["generation"]);
  }
  const Json now = status();
  ASSERT_EQ(now["running"], true) << now.dump();
  EXPECT_EQ(now["stop_authority"], authorities.back());
  expect_settled(now);

  // The earlier authorities stop nothing.
  for (int i = 0; i + 1 < kClients; ++i) {
    EXPECT_EQ(disconnect_owned(authorities[i])["message"], kStale) << authorities[i].dump();
  }
  const Json still = status();
  EXPECT_EQ(still["running"], true);
  EXPECT_EQ(still["stop_authority"], authorities.back());
  expect_settled(still);

  const Json stopped = disconnect_owned(authorities.back());
  EXPECT_EQ(stopped["status"], "ok") << stopped.dump();
  expect_settled(status());
  EXPECT_EQ(status()["running"], false);
}

// Either order is allowed: the stop comes first (it stops the running core,
// and the connect's core runs with a fresh authority), or it comes after the
// connect and stops that core when its authority is the connect's, and
// nothing when it is stale.
TEST_F(ConcurrentRequests, AConnectRacingADisconnectOwnedFromAnotherClient) {
  // The racing client either presents the authority it already holds, or
  // first asks status for one, as a client that just came up does; it sends
  // after a delay so that it meets the connect at different points.
  struct Trial {
    bool asks_status;
    std::chrono::milliseconds delay;
  };
  const Trial trials[] = {
      {false, std::chrono::milliseconds(0)},  {false, std::chrono::milliseconds(0)},
      {false, std::chrono::milliseconds(20)}, {true, std::chrono::milliseconds(0)},
      {true, std::chrono::milliseconds(150)}, {true, std::chrono::milliseconds(600)},
  };
  int stopped_first = 0, stopped_the_new_core = 0, refused_as_stale = 0;
  for (const Trial& trial : trials) {
    if (status()["running"] != true) {
      ASSERT_EQ(connect()["status"], "ok");
    }
    const Json before = status()["stop_authority"];

    Json connected, stop, presented = before;
    {
      StartLine start(2);
      std::thread connecting([&] {
        start.arrive_and_wait();
        connected = connect();
      });
      std::thread stopping([&] {
        start.arrive_and_wait();
        std::this_thread::sleep_for(trial.delay);
        if (trial.asks_status) presented = status()["stop_authority"];
        stop = disconnect_owned(presented);
      });
      connecting.join();
      stopping.join();
    }
    SCOPED_TRACE(std::string(trial.asks_status ? "from status" : "held") + ", delay " +
                 std::to_string(trial.delay.count()) + " ms, presented " + presented.dump() + ", stop " +
                 stop.dump());
    ASSERT_EQ(connected["status"], "ok") << connected.dump();
    const Json fresh = connected["data"]["stop_authority"];
    const Json now = status();
    expect_settled(now);

    if (stop["status"] == "ok") {
      // Accepted only while current: the authority from before the connect
      // (the stop came first) or the connect's own (it came after).
      if (presented == fresh) {
        ++stopped_the_new_core;
        EXPECT_EQ(now["running"], false);
      } else {
        ++stopped_first;
        EXPECT_EQ(presented, before);
        EXPECT_EQ(now["running"], true);
        EXPECT_EQ(now["stop_authority"], fresh);
      }
    } else {
      ++refused_as_stale;
      EXPECT_EQ(stop["message"], kStale);
      EXPECT_NE(presented, fresh);
      EXPECT_EQ(now["running"], true);
      EXPECT_EQ(now["stop_authority"], fresh);
    }
    // Whatever happened, the authority from before the connect is spent.
    EXPECT_EQ(disconnect_owned(before)["message"], kStale);
    expect_settled(status());
  }
  std::printf("racing stop: first %d, of the new core %d, refused as stale %d\n", stopped_first,
              stopped_the_new_core, refused_as_stale);
}

}  // namespace
}  // namespace vorn::wintest
