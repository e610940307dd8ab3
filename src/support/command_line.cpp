#include "support/command_line.hpp"

#include <string_view>

namespace vorn {
namespace {

bool needs_quotes(std::string_view arg, std::string_view specials) {
  return arg.empty() || arg.find_first_of(specials) != std::string_view::npos;
}

void append_program(std::string_view program, std::string& out) {
  if (!needs_quotes(program, " \t")) {
    out += program;
    return;
  }
  out += '"';
  out += program;
  out += '"';
}

void append_argument(std::string_view arg, std::string& out) {
  if (!needs_quotes(arg, " \t\"")) {
    out += arg;
    return;
  }
  out += '"';
  std::size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes are literal unless a quote follows them.
    const std::size_t copies = c == '"' ? 2 * backslashes + 1 : backslashes;
    out.append(copies, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, '\\');
  out += '"';
}

}  // namespace

std::string quote_command_line(const std::vector<std::string>& argv) {
  std::string out;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    if (i == 0) {
      append_program(argv[0], out);
      continue;
    }
    out += ' ';
    append_argument(argv[i], out);
  }
  return out;
}

}  // namespace vorn
