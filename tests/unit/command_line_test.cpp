#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/command_line.hpp"

namespace vorn {
namespace {

TEST(CommandLine, QuotesOnlyWhatTheParserWouldSplitOrStrip) {
  struct Case {
    std::vector<std::string> argv;
    std::string line;
  } cases[] = {
      {{"icacls"}, "icacls"},
      {{"icacls", "C:\\ProgramData\\Vorn\\helper.token", "/inheritance:r"},
       "icacls C:\\ProgramData\\Vorn\\helper.token /inheritance:r"},
      {{"icacls", "*S-1-5-18:(OI)(CI)F"}, "icacls *S-1-5-18:(OI)(CI)F"},
      {{"p", ""}, "p \"\""},
      {{"p", "a b"}, "p \"a b\""},
      {{"p", "a\tb"}, "p \"a\tb\""},
      {{"p", "say \"hi\""}, "p \"say \\\"hi\\\"\""},
      {{"p", "\""}, "p \"\\\"\""},
      // Backslashes are literal unless a quote follows them.
      {{"p", "C:\\a\\b"}, "p C:\\a\\b"},
      {{"p", "C:\\a b\\"}, "p \"C:\\a b\\\\\""},
      {{"p", "a\\\\ b\\\\"}, "p \"a\\\\ b\\\\\\\\\""},
      {{"p", "a\\\"b"}, "p \"a\\\\\\\"b\""},
      {{"p", "a\\\\\"b"}, "p \"a\\\\\\\\\\\"b\""},
      {{"p", "\\\\server\\share"}, "p \\\\server\\share"},
      // A quote-free argument is passed through whatever it holds.
      {{"p", "grüße&|<>^"}, "p grüße&|<>^"},
      {{"p", "a", "", "b"}, "p a \"\" b"},
  };
  for (const auto& c : cases) EXPECT_EQ(quote_command_line(c.argv), c.line) << c.line;
}

TEST(CommandLine, ProgramIsQuotedForBlanksButNeverEscaped) {
  struct Case {
    std::string program;
    std::string line;
  } cases[] = {
      {"cmd", "cmd"},
      {"C:\\Windows\\System32\\icacls.exe", "C:\\Windows\\System32\\icacls.exe"},
      {"C:\\Program Files\\Vorn\\vorn-helper.exe", "\"C:\\Program Files\\Vorn\\vorn-helper.exe\""},
      // The program's parser stops at the next quote and has no backslash
      // rule, so a trailing backslash stays single.
      {"C:\\a b\\", "\"C:\\a b\\\""},
      {"", "\"\""},
  };
  for (const auto& c : cases) EXPECT_EQ(quote_command_line({c.program, "x"}), c.line + " x") << c.line;
}

TEST(CommandLine, EmptyVectorGivesEmptyLine) { EXPECT_EQ(quote_command_line({}), ""); }

}  // namespace
}  // namespace vorn
