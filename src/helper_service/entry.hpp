// The process entry: one mode word picks the service, the console host or a
// setup mode, and every outcome becomes an exit code, a line on standard error
// and, for the setup modes, a setup-log line.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.hpp"
#include "support/error.hpp"

namespace vorn {

inline constexpr const char* USAGE_LINE = "usage: vorn-helper [prepare-upgrade|install|repair|uninstall|run|console]";

enum class Mode { Run, Console, Install, Repair, Uninstall, PrepareUpgrade };

// Byte for byte, case-sensitive, no trimming.
std::optional<Mode> parse_mode(std::string_view word);
bool is_setup_mode(Mode mode);

// What the entry needs from the rest of the program; a seam for tests.
class EntryHost {
 public:
  virtual ~EntryHost() = default;
  virtual Status run_mode(Mode mode) = 0;
  virtual void write_stderr(std::string_view line) = 0;  // without the line feed
  virtual void append_setup_log(std::string_view message) = 0;
};

// `args` as the system split the command line, program path first.
int run_entry(const std::vector<std::string>& args, EntryHost& host);

// The real program.
int run_main(platform::Platform& platform, const std::vector<std::string>& args);

}  // namespace vorn
