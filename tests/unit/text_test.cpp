#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/text.hpp"

namespace vorn::text {
namespace {

std::string utf8(char32_t c) {
  std::string s;
  append_utf8(c, s);
  return s;
}

TEST(Text, TrimRemovesUnicodeWhiteSpaceAtBothEnds) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"  token \r\n", "token"},
      {"\t\v\f x y " + utf8(0x85), "x y"},
      {utf8(0x3000) + "abc" + utf8(0x2029) + utf8(0xA0), "abc"},
      {" \n ", ""},
      {"", ""},
      {utf8(0x200B) + "a", utf8(0x200B) + "a"},  // zero-width space is not White_Space
      {"\xff  ", "\xff"},                        // invalid bytes stop trimming but stay
  };
  for (const auto& c : cases) EXPECT_EQ(trim(c.in), c.out) << c.in;
}

TEST(Text, LowerUsesTheFullMapping) {
  EXPECT_EQ(to_lower("VORN-ABC123"), "vorn-abc123");
  EXPECT_EQ(to_lower("ОШИБКА Ё"), "ошибка ё");
  EXPECT_EQ(to_lower(utf8(0x130)), "i" + utf8(0x307));  // İ has a two-code-point lower form
  EXPECT_EQ(to_lower("\xff" "A"), "\xff" "a");
  EXPECT_EQ(to_lower_ascii("ÄB"), "Äb");
}

// ASCII is taken eight bytes at a time: what follows a run of ASCII, at every
// offset from the word boundary, is still lowered and checked byte by byte.
TEST(Text, AsciiRunsOfEveryLengthHandOverToTheFullMapping) {
  std::string into = "left over from an earlier, much longer line";
  for (std::size_t run = 0; run <= 17; ++run) {
    const std::string ascii(run, 'Q');
    const std::string lowered(run, 'q');
    EXPECT_EQ(to_lower(ascii + "Ё" + "Z"), lowered + "ё" + "z") << run;
    to_lower_into(ascii + "\xff" + "Z", into);
    EXPECT_EQ(into, lowered + "\xff" + "z") << run;
    EXPECT_TRUE(is_valid_utf8(ascii + "Ё")) << run;
    EXPECT_FALSE(is_valid_utf8(ascii + "\xe2\x82")) << run;
    EXPECT_FALSE(is_valid_utf8(ascii + "\x80" + "ABCDEFGH")) << run;
  }
  // Only A to Z move; the bytes just outside the range stay.
  EXPECT_EQ(to_lower("@[`{AZaz09"), "@[`{azaz09");
}

TEST(Text, Utf16RoundTripsAndReportsUnpairedSurrogates) {
  const std::string s = "a" + utf8(0x10437) + utf8(0x44F);
  EXPECT_EQ(from_utf16_strict(to_utf16(s)), s);
  const std::u16string bad = {u'a', 0xD800, u'b'};
  EXPECT_EQ(from_utf16_strict(bad), std::nullopt);
  EXPECT_EQ(from_utf16_lossy(bad), "a" + utf8(0xFFFD) + "b");
  EXPECT_EQ(to_utf16("\xc3"), std::u16string(1, 0xFFFD));
}

TEST(Text, Utf8Validation) {
  EXPECT_TRUE(is_valid_utf8("plain ascii"));
  EXPECT_TRUE(is_valid_utf8(utf8(0x10FFFF)));
  for (std::string bad : {"\xc0\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\x80"}) EXPECT_FALSE(is_valid_utf8(bad));
}

// The compiled-in tables agree with the Unicode data files they came from.
class UnicodeData : public ::testing::Test {
 protected:
  static std::string dir() {
    const char* d = std::getenv("VORN_UNICODE_DIR");
    return d ? d : "/usr/share/unicode";
  }
  static std::vector<std::vector<std::string>> rows(const std::string& file) {
    std::ifstream in(dir() + "/" + file);
    std::vector<std::vector<std::string>> out;
    for (std::string line; std::getline(in, line);) {
      line = line.substr(0, line.find('#'));
      if (line.find_first_not_of(' ') == std::string::npos) continue;
      std::vector<std::string> fields;
      std::stringstream ss(line);
      for (std::string f; std::getline(ss, f, ';');) {
        const auto b = f.find_first_not_of(' '), e = f.find_last_not_of(' ');
        fields.push_back(b == std::string::npos ? "" : f.substr(b, e - b + 1));
      }
      out.push_back(fields);
    }
    return out;
  }
};

TEST_F(UnicodeData, WhiteSpaceMatchesPropList) {
  const auto props = rows("PropList.txt");
  ASSERT_FALSE(props.empty()) << "unicode-data is not installed";
  std::set<char32_t> spaces;
  for (const auto& r : props) {
    if (r[1] != "White_Space") continue;
    const auto dots = r[0].find("..");
    const char32_t lo = std::stoul(r[0].substr(0, dots), nullptr, 16);
    const char32_t hi = dots == std::string::npos ? lo : std::stoul(r[0].substr(dots + 2), nullptr, 16);
    for (char32_t c = lo; c <= hi; ++c) spaces.insert(c);
  }
  for (char32_t c = 0; c < 0x110000; ++c) ASSERT_EQ(is_white_space(c), spaces.count(c) == 1) << std::hex << static_cast<std::uint32_t>(c);
}

TEST_F(UnicodeData, LowerMatchesUnicodeDataAndSpecialCasing) {
  const auto data = rows("UnicodeData.txt");
  ASSERT_FALSE(data.empty()) << "unicode-data is not installed";
  std::map<char32_t, std::string> expected;
  for (const auto& r : data) {
    if (r.size() > 13 && !r[13].empty()) expected[std::stoul(r[0], nullptr, 16)] = utf8(std::stoul(r[13], nullptr, 16));
  }
  for (const auto& r : rows("SpecialCasing.txt")) {
    if (r.size() > 4 && !r[4].empty()) continue;  // conditional mappings are not applied
    std::string lower;
    std::stringstream ss(r[1]);
    for (std::string cp; ss >> cp;) lower += utf8(std::stoul(cp, nullptr, 16));
    expected[std::stoul(r[0], nullptr, 16)] = lower;
  }
  for (char32_t c = 0; c < 0x110000; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    std::string got;
    append_lower(c, got);
    const auto it = expected.find(c);
    ASSERT_EQ(got, it == expected.end() ? utf8(c) : it->second) << std::hex << static_cast<std::uint32_t>(c);
  }
}

}  // namespace
}  // namespace vorn::text
