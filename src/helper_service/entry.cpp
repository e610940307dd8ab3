#include "helper_service/entry.hpp"

#include <fmt/format.h>

#include <cstdio>

#include "helper_service/hosts.hpp"
#include "helper_service/setup_failure.hpp"
#include "helper_service/setup_log.hpp"
#include "helper_service/setup_modes.hpp"

namespace vorn {

std::optional<Mode> parse_mode(std::string_view word) {
  if (word == "run") return Mode::Run;
  if (word == "console") return Mode::Console;
  if (word == "install") return Mode::Install;
  if (word == "repair") return Mode::Repair;
  if (word == "uninstall") return Mode::Uninstall;
  if (word == "prepare-upgrade") return Mode::PrepareUpgrade;
  return std::nullopt;
}

bool is_setup_mode(Mode mode) { return mode != Mode::Run && mode != Mode::Console; }

int run_entry(const std::vector<std::string>& args, EntryHost& host) {
  const std::string word = args.size() > 1 ? args[1] : "run";
  const std::optional<Mode> mode = parse_mode(word);
  if (!mode) {
    host.write_stderr(fmt::format("vorn-helper: unknown mode '{}'", word));
    host.write_stderr(USAGE_LINE);
    return 2;
  }
  const bool soft = *mode == Mode::Install && args.size() > 2 && args[2] == "--soft";
  Status result = host.run_mode(*mode);
  if (!result && soft && is_tolerated_setup_failure(result.error())) {
    host.append_setup_log(fmt::format("vorn-helper install: tolerated, no working service: {}", result.error().full()));
    result = {};
  }
  if (!result) {
    const int code = setup_exit_code(result.error());
    host.write_stderr(fmt::format("vorn-helper: {} failed: {}", word, result.error().full()));
    if (is_setup_mode(*mode)) {
      host.append_setup_log(fmt::format("vorn-helper {}: failed code={}: {}", word, code, result.error().full()));
    }
    return code;
  }
  if (is_setup_mode(*mode)) host.append_setup_log(fmt::format("vorn-helper {}: ok", word));
  return 0;
}

namespace {

class ProgramHost final : public EntryHost {
 public:
  explicit ProgramHost(platform::Platform& platform) : platform_(platform) {}

  Status run_mode(Mode mode) override {
    switch (mode) {
      case Mode::Run:
        return run_service_dispatcher(platform_);
      case Mode::Console:
        return run_console(platform_);
      case Mode::Install:
        return install_service(platform_, false);
      case Mode::Repair:
        return install_service(platform_, true);
      case Mode::Uninstall:
        return uninstall_service(platform_);
      case Mode::PrepareUpgrade:
        return prepare_upgrade(platform_);
    }
    return fail("unknown mode");
  }

  void write_stderr(std::string_view line) override { write_stderr_line(line); }

  void append_setup_log(std::string_view message) override { vorn::append_setup_log(platform_, message); }

 private:
  platform::Platform& platform_;
};

}  // namespace

int run_main(platform::Platform& platform, const std::vector<std::string>& args) {
  ProgramHost host(platform);
  return run_entry(args, host);
}

}  // namespace vorn
