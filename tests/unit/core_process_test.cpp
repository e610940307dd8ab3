#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "helper_engine/core_process.hpp"
#include "support/fake_clock.hpp"
#include "support/fake_platform.hpp"

namespace vorn {
namespace {

using testing::FakeChildScript;
using testing::FakeClock;
using testing::FakeOutputPipe;
using testing::FakePlatform;

TEST(CoreCommand, DescribesTheCoreLaunch) {
  const auto command = core_launch_command("C:\\PD\\Vorn\\core\\vorn-core-s.exe", "C:\\PD\\Vorn\\active.json",
                                           "C:\\PD\\Vorn\\core");
  EXPECT_EQ(command.program, "C:\\PD\\Vorn\\core\\vorn-core-s.exe");
  EXPECT_EQ(command.args, (std::vector<std::string>{"run", "-c", "C:\\PD\\Vorn\\active.json"}));
  EXPECT_EQ(command.working_dir, "C:\\PD\\Vorn\\core");
  EXPECT_EQ(command.creation_flags, 0x08000200u);
  ASSERT_EQ(command.env_overrides.size(), 1u);
  EXPECT_EQ(command.env_overrides[0].first, "ENABLE_DEPRECATED_LEGACY_DNS_SERVERS");
  EXPECT_EQ(command.env_overrides[0].second, "true");
  // Held at the start; the flags stay the core's own.
  EXPECT_TRUE(command.start_held);
}

TEST(ExitCodeText, DecimalUnlessBit31IsSet) {
  EXPECT_EQ(exit_code_text(0), "exit code: 0");
  EXPECT_EQ(exit_code_text(1), "exit code: 1");
  EXPECT_EQ(exit_code_text(0x7fffffff), "exit code: 2147483647");
  EXPECT_EQ(exit_code_text(3221225786u), "exit code: 0xc000013a");
  EXPECT_EQ(exit_code_text(0x80000000u), "exit code: 0x80000000");
}

// Pumps ---------------------------------------------------------------------

struct Pumped {
  std::vector<std::string> lines;
  bool adapter_failed;
  bool address_conflict;
  std::size_t consumed;
};

Pumped pump(const std::string& bytes, std::size_t chunk = 8192, bool error_at_end = false) {
  SharedLog log;
  OutputWatch watch;
  FakeOutputPipe pipe(bytes, chunk, error_at_end);
  pump_core_output("out", log, pipe, watch);
  return {{log.ring.lines.begin(), log.ring.lines.end()}, watch.adapter_failed.load(), watch.address_conflict.load(),
          pipe.consumed()};
}

TEST(CoreOutputPump, SplitsLines) {
  struct Case {
    const char* name;
    std::string bytes;
    std::size_t chunk;
    std::vector<std::string> lines;
  } cases[] = {
      {"lf and crlf", "one\ntwo\r\nthree\n", 8192, {"[core:out] one", "[core:out] two", "[core:out] three"}},
      {"last line without an end", "one\nlast", 8192, {"[core:out] one", "[core:out] last"}},
      {"only one cr removed", "a\r\r\n", 8192, {"[core:out] a\r"}},
      {"cr without lf stays", "a\rb\n", 8192, {"[core:out] a\rb"}},
      {"empty lines are lines", "\n\n", 8192, {"[core:out] ", "[core:out] "}},
      {"line across reads", "hello world\r\nbye", 3, {"[core:out] hello world", "[core:out] bye"}},
      {"cr lf split across reads", "x\r", 1, {"[core:out] x\r"}},
      {"nothing", "", 8192, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(pump(c.bytes, c.chunk).lines, c.lines) << c.name;
}

TEST(CoreOutputPump, EndsAtTheFirstLineThatIsNotUtf8) {
  const auto result = pump("good\nbad \xff\nnever read\n");
  EXPECT_EQ(result.lines, std::vector<std::string>{"[core:out] good"});
}

TEST(CoreOutputPump, ReadErrorEndsWithoutThePartialLine) {
  EXPECT_EQ(pump("done\npartial", 8192, true).lines, std::vector<std::string>{"[core:out] done"});
}

TEST(CoreOutputPump, ClassifiesBeforeLogging) {
  struct Case {
    const char* line;
    bool address;
    bool adapter;
  } cases[] = {
      {"ERROR start service: configure tun interface: set ipv4 address: The object already exists.", true, false},
      {"FATAL configure tun interface: create adapter: Cannot create a file when that file already exists.", false,
       true},
      {"FATAL[0000] start service: start inbound/tun[tun-in]: starting tun stack: listen tcp4 10.86.111.1:0: bind: "
       "The requested address is not valid in its context.",
       false, true},
      {"INFO inbound/tun[tun-in]: started", false, false},
  };
  for (const auto& c : cases) {
    const auto result = pump(std::string(c.line) + "\n");
    EXPECT_EQ(result.address_conflict, c.address) << c.line;
    EXPECT_EQ(result.adapter_failed, c.adapter) << c.line;
    EXPECT_EQ(result.lines.size(), 1u);
  }
}

TEST(CoreOutputPump, ALineWithoutEndIsLoggedInBoundedPieces) {
  // Thirty thousand two-byte characters never followed by a line end: the
  // pump must not hold them all, and must not cut a character in two.
  std::string endless;
  for (int i = 0; i < 30000; ++i) endless += "\xd0\xb6";
  const auto result = pump(endless, 1000);
  ASSERT_GE(result.lines.size(), 8u);
  std::string joined;
  for (const auto& line : result.lines) {
    ASSERT_LE(line.size(), std::string("[core:out] ").size() + CORE_LINE_LIMIT);
    joined += line.substr(std::string("[core:out] ").size());
  }
  EXPECT_EQ(joined, endless);
}

TEST(CoreOutputPump, APhraseCutBetweenLoggedPiecesIsStillSeen) {
  struct Case {
    const char* failure;
    bool address;
    bool adapter;
  } cases[] = {
      {"configure tun interface: set ipv4 address: The object already exists.", true, false},
      {"set ipv6 address: объект УЖЕ СУЩЕСТВУЕТ.", true, false},
      {"FATAL configure tun interface: create adapter: Cannot create a file when that file already exists.", false,
       true},
      {"open existing adapter: Элемент не найден.", false, true},
      {"create adapter: Не удаётся найти указанный файл.", false, true},
      {"FATAL[0000] start service: start inbound/tun[tun-in]: starting tun stack: listen tcp6 [fd56:6f72:6e01::1]:0: "
       "bind: The requested address is not valid in its context.",
       false, true},
      {"FATAL starting tun stack: listen tcp4 10.86.111.1:0: bind: Запрошенный адрес недопустим в этом контексте.",
       false, true},
      {"set ipv4 address: done; configure tun interface: ok", false, false},
  };
  for (const auto& c : cases) {
    const std::string failure = c.failure;
    // The first piece ends `at` bytes into the failure text (or just before,
    // where that is inside a character).
    for (std::size_t at = 1; at < failure.size(); ++at) {
      // Short reads, and the line end in a read after the one that passes the
      // limit, so that the line is cut there.
      const std::string line = std::string(CORE_LINE_LIMIT - at, 'x') + failure + std::string(300, 'y');
      const auto result = pump(line + "\n", 256);
      SCOPED_TRACE(::testing::Message() << c.failure << " cut at " << at);
      EXPECT_EQ(result.address_conflict, c.address);
      EXPECT_EQ(result.adapter_failed, c.adapter);
      // What is logged is the same pieces as before.
      ASSERT_EQ(result.lines.size(), 2u);
      EXPECT_EQ(result.lines[0].size() + result.lines[1].size() - 2 * std::string("[core:out] ").size(), line.size());
      EXPECT_LE(result.lines[0].size(), std::string("[core:out] ").size() + CORE_LINE_LIMIT);
      EXPECT_GE(result.lines[0].size() + 3, std::string("[core:out] ").size() + CORE_LINE_LIMIT);
    }
  }
}

TEST(CoreOutputPump, PiecesOfOneLineAreClassifiedTogetherAndNotWithTheNextLine) {
  // Longer than a piece, so that every line below is cut at least once; the
  // bytes after each phrase keep its line end out of the read that passes the
  // limit.
  const std::string filler(CORE_LINE_LIMIT, 'x');
  const std::string after(300, 'y');
  struct Case {
    const char* name;
    std::string bytes;
    bool address;
    bool adapter;
  } cases[] = {
      {"step and error pieces apart", "create adapter " + filler + " element not found" + after + "\n", false, true},
      {"address step, then error, then the end of the stream", "set ipv4 address " + filler + filler + " already exists",
       true, false},
      {"a step in one line, its error in the next", "create adapter " + filler + after + "\nelement not found\n", false,
       false},
      {"a long line's step, then a long line's error",
       "create adapter " + filler + after + "\n" + filler + " element not found" + after + "\n", false, false},
  };
  for (const auto& c : cases) {
    const auto result = pump(c.bytes, 256);
    ASSERT_GE(result.lines.size(), 2u) << c.name;
    EXPECT_EQ(result.address_conflict, c.address) << c.name;
    EXPECT_EQ(result.adapter_failed, c.adapter) << c.name;
  }
}

TEST(CoreOutputPump, ReadersCountDropsWhenThePumpEnds) {
  auto log = std::make_shared<SharedLog>();
  auto watch = std::make_shared<OutputWatch>();
  FakePlatform fake;
  ASSERT_TRUE(spawn_stdout_pump(log, std::make_unique<FakeOutputPipe>("a\n\xff\n"), watch, fake.processes));
  ASSERT_TRUE(spawn_stderr_pump(log, std::make_unique<FakeOutputPipe>("b"), watch, fake.processes));
  for (int i = 0; i < 500 && watch->live_readers.load() != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(watch->live_readers.load(), 0u);
  std::lock_guard lock(log->lock);
  std::vector<std::string> lines(log->ring.lines.begin(), log->ring.lines.end());
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{"[core:err] b", "[core:out] a"}));
}

// Exit checks and stops ---------------------------------------------------

std::unique_ptr<platform::ChildProcess> spawn_child(FakePlatform& fake, FakeChildScript script) {
  fake.processes.next_children.push_back(std::move(script));
  return std::move(*fake.processes.spawn(core_command("core.exe")));
}

TEST(WaitForExit, PollsForThreeSecondsAtFiftyMilliseconds) {
  FakePlatform fake;
  FakeClock clock;
  auto never = spawn_child(fake, {});
  EXPECT_FALSE(wait_for_exit(*never, clock));
  EXPECT_EQ(clock.sleeps.load(), 60);  // the last check falls on the deadline
  EXPECT_EQ(fake.processes.child(never->pid())->exit_checks, 61);

  FakeClock clock2;
  auto late = spawn_child(fake, {.exits_after_checks = 61, .later_exit_code = 0});
  EXPECT_FALSE(wait_for_exit(*late, clock2));  // one check past the deadline is never made
  FakeClock clock3;
  auto last = spawn_child(fake, {.exits_after_checks = 60, .later_exit_code = 0});
  EXPECT_TRUE(wait_for_exit(*last, clock3));  // an exit during the final sleep is still seen

  FakeClock clock4;
  auto broken = spawn_child(fake, {.exit_check_fails = true});
  EXPECT_FALSE(wait_for_exit(*broken, clock4));
  EXPECT_EQ(clock4.sleeps.load(), 0);
}

TEST(StopChild, EachRoadToAnEnd) {
  struct Case {
    const char* name;
    FakeChildScript script;
    bool console_delivers;
    bool confirmed;
    bool forced;
    bool ctrl_break_sent;
    bool terminated;
  } cases[] = {
      {"already exited", {.exit_code = 0}, true, true, false, false, false},
      {"exits on ctrl-break", {}, true, true, false, true, false},
      {"ignores ctrl-break", {.exits_on_ctrl_break = false}, true, true, true, true, true},
      {"console not attachable", {}, false, true, true, true, true},
      {"never exits", {.exits_on_ctrl_break = false, .exits_on_terminate = false}, true, false, false, true, true},
      {"exit check fails", {.exit_check_fails = true}, true, false, false, false, false},
      {"termination refused but gone by then",
       {.exits_after_checks = 62, .exits_on_ctrl_break = false, .terminate_refused = true},
       true,
       true,
       true,
       true,
       false},
  };
  for (auto& c : cases) {
    FakePlatform fake;
    FakeClock clock;
    fake.console.delivers = c.console_delivers;
    auto child = spawn_child(fake, c.script);
    const auto pid = child->pid();
    auto script = fake.processes.child(pid);
    auto outcome = stop_child(std::move(child), fake.console, clock);
    if (c.confirmed) {
      ASSERT_TRUE(std::holds_alternative<ChildStopped>(outcome)) << c.name;
      EXPECT_EQ(std::get<ChildStopped>(outcome).forced, c.forced) << c.name;
      EXPECT_TRUE(script->released) << c.name;
    } else {
      ASSERT_TRUE(std::holds_alternative<ChildUnconfirmed>(outcome)) << c.name;
      EXPECT_EQ(std::get<ChildUnconfirmed>(outcome).child->pid(), pid) << c.name;
      EXPECT_FALSE(script->released) << c.name;
    }
    EXPECT_EQ(!fake.console.breaks.empty(), c.ctrl_break_sent) << c.name;
    EXPECT_EQ(script->terminated, c.terminated) << c.name;
  }
}

TEST(StopChild, AnUndeliveredCtrlBreakIsNotWaitedFor) {
  FakePlatform fake;
  FakeClock clock;
  fake.console.delivers = false;
  auto outcome = stop_child(spawn_child(fake, {}), fake.console, clock);
  ASSERT_TRUE(std::holds_alternative<ChildStopped>(outcome));
  EXPECT_EQ(clock.sleeps.load(), 0);  // termination follows at once and is seen at the first check
}

}  // namespace
}  // namespace vorn
