// Joining an argument vector into one Windows command line, so that the child's
// CommandLineToArgvW (or the C runtime's parser) splits it back into exactly
// the same arguments.
#pragma once

#include <string>
#include <vector>

namespace vorn {

// The first element is the program: it is quoted when empty or when it holds
// a blank, and never escaped, because the system reads the program name up to
// the next quote with no backslash rules (a file name cannot hold a quote).
// Every later argument is quoted when empty or when it holds a space, a tab or
// a quote; inside quotes, a quote is escaped with a backslash and the
// backslashes before a quote (or before the closing quote) are doubled.
std::string quote_command_line(const std::vector<std::string>& argv);

}  // namespace vorn
