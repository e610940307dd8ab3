#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "helper_service/entry.hpp"

namespace vorn {
namespace {

class RecordingHost final : public EntryHost {
 public:
  std::map<Mode, Status> results;
  std::vector<Mode> ran;
  std::vector<std::string> stderr_lines;
  std::vector<std::string> setup_log;

  Status run_mode(Mode mode) override {
    ran.push_back(mode);
    auto it = results.find(mode);
    return it == results.end() ? Status{} : it->second;
  }
  void write_stderr(std::string_view line) override { stderr_lines.emplace_back(line); }
  void append_setup_log(std::string_view message) override { setup_log.emplace_back(message); }
};

Status setup_failure(int code) { return fail(Error(SetupFailure{code, "boom"})); }

TEST(Entry, ModeWordsAreExactAndUnknownOnesExitTwo) {
  struct Case {
    std::vector<std::string> args;
    std::optional<Mode> ran;
    int exit;
  } cases[] = {
      {{"vorn-helper.exe"}, Mode::Run, 0},
      {{}, Mode::Run, 0},
      {{"x", "run"}, Mode::Run, 0},
      {{"x", "console", "extra", "words"}, Mode::Console, 0},
      {{"x", "prepare-upgrade"}, Mode::PrepareUpgrade, 0},
      {{"x", "Run"}, std::nullopt, 2},
      {{"x", "RUN"}, std::nullopt, 2},
      {{"x", " run"}, std::nullopt, 2},
      {{"x", ""}, std::nullopt, 2},
  };
  for (const auto& c : cases) {
    RecordingHost host;
    EXPECT_EQ(run_entry(c.args, host), c.exit);
    if (c.ran) {
      EXPECT_EQ(host.ran, std::vector<Mode>{*c.ran});
    } else {
      EXPECT_TRUE(host.ran.empty());
      ASSERT_EQ(host.stderr_lines.size(), 2u);
      EXPECT_EQ(host.stderr_lines[0], "vorn-helper: unknown mode '" + c.args[1] + "'");
      EXPECT_EQ(host.stderr_lines[1], USAGE_LINE);
      EXPECT_TRUE(host.setup_log.empty());
    }
  }
}

TEST(Entry, SoftInstallToleratesOnlyItsCodesAndOnlyInSecondPosition) {
  struct Case {
    std::vector<std::string> args;
    int code;
    int exit;
    std::vector<std::string> log;
  } cases[] = {
      {{"x", "install", "--soft"}, 21, 0,
       {"vorn-helper install: tolerated, no working service: setup stage 21: boom", "vorn-helper install: ok"}},
      {{"x", "install", "--soft", "more"}, 27, 0,
       {"vorn-helper install: tolerated, no working service: setup stage 27: boom", "vorn-helper install: ok"}},
      {{"x", "install", "--soft"}, 22, 22, {"vorn-helper install: failed code=22: setup stage 22: boom"}},
      {{"x", "install", "--soft"}, 20, 20, {"vorn-helper install: failed code=20: setup stage 20: boom"}},
      {{"x", "install", "other", "--soft"}, 21, 21, {"vorn-helper install: failed code=21: setup stage 21: boom"}},
      {{"x", "install", "--SOFT"}, 21, 21, {"vorn-helper install: failed code=21: setup stage 21: boom"}},
      {{"x", "repair", "--soft"}, 21, 21, {"vorn-helper repair: failed code=21: setup stage 21: boom"}},
  };
  for (const auto& c : cases) {
    RecordingHost host;
    host.results[Mode::Install] = setup_failure(c.code);
    host.results[Mode::Repair] = setup_failure(c.code);
    EXPECT_EQ(run_entry(c.args, host), c.exit) << c.args[1] << " " << c.code;
    EXPECT_EQ(host.setup_log, c.log);
    if (c.exit == 0) {
      EXPECT_TRUE(host.stderr_lines.empty());
    } else {
      EXPECT_EQ(host.stderr_lines,
                std::vector<std::string>{"vorn-helper: " + c.args[1] + " failed: setup stage " + std::to_string(c.code) + ": boom"});
    }
  }
}

TEST(Entry, FailuresOutsideSetupFailuresExitOne) {
  RecordingHost host;
  host.results[Mode::Uninstall] = fail(Error("scm gone").context("helper uninstall"));
  EXPECT_EQ(run_entry({"x", "uninstall"}, host), 1);
  EXPECT_EQ(host.setup_log, std::vector<std::string>{"vorn-helper uninstall: failed code=1: helper uninstall: scm gone"});

  RecordingHost run_host;
  run_host.results[Mode::Run] = fail(Error::os(1063, "no controller").context("IO error in winapi call"));
  EXPECT_EQ(run_entry({"x", "run"}, run_host), 1);
  EXPECT_EQ(run_host.stderr_lines,
            std::vector<std::string>{"vorn-helper: run failed: IO error in winapi call: no controller (os error 1063)"});
  EXPECT_TRUE(run_host.setup_log.empty());
}

TEST(Entry, SetupModesLogSuccess) {
  RecordingHost host;
  EXPECT_EQ(run_entry({"x", "uninstall"}, host), 0);
  EXPECT_EQ(host.setup_log, std::vector<std::string>{"vorn-helper uninstall: ok"});
  RecordingHost console;
  EXPECT_EQ(run_entry({"x", "console"}, console), 0);
  EXPECT_TRUE(console.setup_log.empty());
}

}  // namespace
}  // namespace vorn
