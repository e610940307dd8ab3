// The core child process through the real Win32 layer, with the test tree's
// stand-in core: spawn, output pumps, exit check, Ctrl-Break and termination.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "helper_engine/core_process.hpp"
#include "helper_process.hpp"
#include "platform/win32/system.hpp"
#include "support/json.hpp"
#include "support/text.hpp"

namespace vorn::wintest {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;

std::string stand_in_core() { return win32::narrow(own_folder() + L"\\vorn-stand-in-core.exe"); }

struct Started {
  std::unique_ptr<platform::ChildProcess> child;
  std::shared_ptr<SharedLog> log = std::make_shared<SharedLog>();
  std::shared_ptr<OutputWatch> watch = std::make_shared<OutputWatch>();
  std::string folder;
};

// Starts the stand-in on a configuration whose "stand_in" key holds
// `behaviour`, with both pumps reading its output.
Started start_stand_in(const Json& behaviour) {
  Started s;
  s.folder = win32::narrow(make_temp_folder(L"vorn-core-"));
  const std::string config = s.folder + "\\active.json";
  Json doc = {{"stand_in", {{"launches", Json::array({behaviour})}}}};
  EXPECT_TRUE(platform::win32_file_system().write_file(config, doc.dump()));
  auto child = platform::win32_processes().spawn(core_launch_command(stand_in_core(), config, s.folder));
  EXPECT_TRUE(child) << (child ? "" : child.error().full());
  if (!child) return s;
  s.child = std::move(*child);
  EXPECT_TRUE(spawn_stdout_pump(s.log, s.child->take_stdout(), s.watch, platform::win32_processes()));
  EXPECT_TRUE(spawn_stderr_pump(s.log, s.child->take_stderr(), s.watch, platform::win32_processes()));
  // The launch's description starts the core held; these tests let it go at
  // once, as the launch does once the record is written.
  EXPECT_TRUE(s.child->lift_kill_on_close());
  EXPECT_TRUE(s.child->resume());
  return s;
}

void wait_for_pumps(OutputWatch& watch, std::chrono::seconds limit = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (watch.live_readers.load() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::vector<std::string> lines_of(SharedLog& log) {
  std::lock_guard lock(log.lock);
  return {log.ring.lines.begin(), log.ring.lines.end()};
}

TEST(CoreProcess, RunsWithItsArgumentsFolderAndEnvironmentAndItsOutputReachesTheLog) {
  auto s = start_stand_in({{"stdout", {"INFO started", "second"}},
                           {"stderr", {"ERROR configure tun interface: set ipv4 address: The object already exists."}},
                           {"exit_code", 3221225786u}});
  ASSERT_TRUE(s.child);
  EXPECT_TRUE(wait_for_exit(*s.child, system_clock()));
  auto status = s.child->exit_status();
  ASSERT_TRUE(status);
  ASSERT_TRUE(status->has_value());
  EXPECT_EQ(exit_code_text(**status), "exit code: 0xc000013a");
  wait_for_pumps(*s.watch);
  EXPECT_EQ(s.watch->live_readers.load(), 0u);
  EXPECT_TRUE(s.watch->address_conflict.load());
  const auto lines = lines_of(*s.log);
  EXPECT_THAT(lines, Contains("[core:out] INFO started"));
  EXPECT_THAT(lines, Contains("[core:out] second"));
  EXPECT_THAT(lines,
              Contains("[core:err] ERROR configure tun interface: set ipv4 address: The object already exists."));

  const Json seen = Json::parse(read_text_file(win32::wide(s.folder + "\\stand-in-seen.json")));
  EXPECT_EQ(seen["args"], Json::array({"run", "-c", s.folder + "\\active.json"}));
  EXPECT_EQ(seen["dns_variable"], "true");
  EXPECT_EQ(text::to_lower_ascii(seen["folder"].get<std::string>()), text::to_lower_ascii(s.folder));
}

TEST(CoreProcess, StopEndsARunningCoreAndProvesIt) {
  // Wine cannot attach to the child's console, so the stop takes the
  // termination road there; on Windows the Ctrl-Break ends it first.
  for (bool ignores : {false, true}) {
    auto s = start_stand_in({{"stdout", {"up"}}, {"ignore_ctrl_break", ignores}});
    ASSERT_TRUE(s.child);
    auto running = s.child->exit_status();
    ASSERT_TRUE(running);
    EXPECT_FALSE(running->has_value());
    auto outcome = stop_child(std::move(s.child), platform::win32_console(), system_clock());
    ASSERT_TRUE(std::holds_alternative<ChildStopped>(outcome)) << ignores;
    wait_for_pumps(*s.watch);
    EXPECT_EQ(s.watch->live_readers.load(), 0u);
  }
}

// A process the core started keeps the output pipes open after the core has
// gone: no end of stream comes, and only telling the pumps to stop waiting
// ends them, with what the core wrote still logged.
TEST(CoreProcess, PumpsOfAGoneCoreEndWhenToldWhileAnotherProcessHoldsThePipes) {
  auto s = start_stand_in({{"stdout", {"last words"}}, {"holder_ms", 10000}, {"exit_code", 0}});
  ASSERT_TRUE(s.child);
  ASSERT_TRUE(wait_for_exit(*s.child, system_clock()));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(s.watch->live_readers.load(), 2u);
  EXPECT_TRUE(release_output_pumps(*s.watch, system_clock(), OUTPUT_RELEASE_POLL));
  EXPECT_EQ(s.watch->live_readers.load(), 0u);
  EXPECT_THAT(lines_of(*s.log), Contains("[core:out] last words"));
}

TEST(CoreProcess, TerminationGivesExitCodeOneAndAnExitedChildIsNotSignalled) {
  auto s = start_stand_in({{"exit_code", 7}});
  ASSERT_TRUE(s.child);
  ASSERT_TRUE(wait_for_exit(*s.child, system_clock()));
  EXPECT_EQ(s.child->exit_status()->value(), 7u);
  auto outcome = stop_child(std::move(s.child), platform::win32_console(), system_clock());
  ASSERT_TRUE(std::holds_alternative<ChildStopped>(outcome));
  EXPECT_FALSE(std::get<ChildStopped>(outcome).forced);

  auto r = start_stand_in(Json::object());
  ASSERT_TRUE(r.child);
  ASSERT_TRUE(r.child->terminate(CORE_TERMINATE_EXIT_CODE));
  ASSERT_TRUE(wait_for_exit(*r.child, system_clock()));
  EXPECT_EQ(r.child->exit_status()->value(), 1u);
}

// A core started held is in a job that kills it when the job's handle
// closes, as it does when the helper dies: dropped without being let go, it
// dies without having run; lifted and resumed, it runs on to its own end
// after the helper has closed every handle to it.
TEST(CoreProcess, AHeldCoreDiesWithItsJobUnlessLetGo) {
  constexpr DWORD kOwnExitCode = 5;
  for (const bool let_go : {false, true}) {
    SCOPED_TRACE(let_go ? "lifted and resumed" : "never let go");
    const std::string folder = win32::narrow(make_temp_folder(L"vorn-held-"));
    const std::string config = folder + "\\active.json";
    const std::wstring seen = win32::wide(folder + "\\stand-in-seen.json");
    const Json behaviour = {{"exit_after_ms", 3000}, {"exit_code", kOwnExitCode}};
    ASSERT_TRUE(platform::win32_file_system().write_file(
        config, Json({{"stand_in", {{"launches", Json::array({behaviour})}}}}).dump()));
    auto child = platform::win32_processes().spawn(core_launch_command(stand_in_core(), config, folder));
    ASSERT_TRUE(child) << child.error().full();
    win32::unique_handle process(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION,
                                               FALSE, (*child)->pid()));
    ASSERT_TRUE(process);
    if (let_go) {
      ASSERT_TRUE((*child)->lift_kill_on_close());
      ASSERT_TRUE((*child)->resume());
      // Running: it writes down what it was given.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (::GetFileAttributesW(seen.c_str()) == INVALID_FILE_ATTRIBUTES &&
             std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      ASSERT_NE(::GetFileAttributesW(seen.c_str()), INVALID_FILE_ATTRIBUTES);
    }
    ASSERT_EQ(::WaitForSingleObject(process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    child->reset();  // every handle of the helper's closes, the job's among them

    ASSERT_EQ(::WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(::GetExitCodeProcess(process.get(), &code));
    if (let_go) {
      EXPECT_EQ(code, kOwnExitCode);  // it ran on to its own end
    } else {
      EXPECT_NE(code, kOwnExitCode);
      EXPECT_EQ(::GetFileAttributesW(seen.c_str()), INVALID_FILE_ATTRIBUTES);  // it never ran
    }
  }
}

TEST(CoreProcess, SpawnOfAMissingProgramFailsWithTheSystemCode) {
  const std::string folder = win32::narrow(make_temp_folder(L"vorn-core-"));
  auto child = platform::win32_processes().spawn(core_launch_command(folder + "\\missing.exe", "x", folder));
  ASSERT_FALSE(child);
  EXPECT_EQ(child.error().os_code(), 2u);
}

TEST(CoreProcess, FloodsOfOutputNeitherStallTheCoreNorGrowTheLogPastItsBound) {
  struct Case {
    const char* name;
    bool line_end;
  } cases[] = {{"50 MB of lines", true}, {"50 MB without a line end", false}};
  for (const auto& c : cases) {
    auto s = start_stand_in({{"flood_bytes", 50u << 20}, {"flood_line_end", c.line_end}, {"exit_code", 0}});
    ASSERT_TRUE(s.child);
    // The core can only finish writing if the pumps keep reading.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    bool exited = false;
    while (!exited && std::chrono::steady_clock::now() < deadline) {
      auto st = s.child->exit_status();
      exited = st && st->has_value();
      if (!exited) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(exited) << c.name;
    wait_for_pumps(*s.watch, std::chrono::seconds(60));
    std::lock_guard lock(s.log->lock);
    EXPECT_LE(s.log->ring.lines.size(), LOG_RING_MAX_LINES) << c.name;
    std::size_t longest = 0;
    for (const auto& line : s.log->ring.lines) longest = std::max(longest, line.size());
    EXPECT_LE(longest, CORE_LINE_LIMIT + 16) << c.name;
    EXPECT_GT(s.log->ring.dropped, 0u) << c.name;
  }
}

}  // namespace
}  // namespace vorn::wintest
