#include <gtest/gtest.h>

#include "helper_service/setup_log.hpp"
#include "support/fake_platform.hpp"

namespace vorn {
namespace {

constexpr const char* kLog = "C:\\Temp\\vorn-setup.log";

TEST(SetupLog, LineFormat) {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 0;
  t.tm_mday = 2;
  t.tm_hour = 3;
  t.tm_min = 4;
  t.tm_sec = 5;
  EXPECT_EQ(format_setup_log_line(t, "vorn-helper install: ok"), "2026-01-02 03:04:05 vorn-helper install: ok\n");
}

TEST(SetupLog, AppendsUntilTheFileIsTooLarge) {
  testing::FakePlatform fake;
  append_setup_log(fake.platform, "first");
  append_setup_log(fake.platform, "second");
  const std::string log = fake.files.files[kLog];
  ASSERT_EQ(log.size(), 2 * 20 + std::string("first\nsecond\n").size());
  EXPECT_EQ(log.substr(20, 6), "first\n");

  // The last line may take the file past the limit; nothing is added after.
  fake.files.files[kLog] = std::string(SETUP_LOG_MAX_BYTES, 'x');
  append_setup_log(fake.platform, "at the limit");
  EXPECT_GT(fake.files.files[kLog].size(), SETUP_LOG_MAX_BYTES);
  const std::size_t past = fake.files.files[kLog].size();
  append_setup_log(fake.platform, "past the limit");
  EXPECT_EQ(fake.files.files[kLog].size(), past);
}

TEST(SetupLog, NeverWritesThroughADirectory) {
  testing::FakePlatform fake;
  fake.files.directories.insert(kLog);
  append_setup_log(fake.platform, "refused");
  EXPECT_FALSE(fake.files.files.count(kLog));
}

TEST(SetupLog, NeverWritesThroughANameSurrogate) {
  // The fake describes the path without its reparse point and only the
  // opened entry with it: the check must be made on what was opened.
  struct Case {
    const char* name;
    std::uint32_t tag;
    bool written;
  } cases[] = {
      {"symbolic link", 0xA000000C, false},
      {"junction", 0xA0000003, false},
      {"WSL symbolic link", 0xA000001D, false},
      {"container link", 0xA0000027, false},
      {"the bit alone", 0x20000000, false},
      {"deduplicated file", 0x80000013, true},
      {"cloud placeholder", 0x9000001A, true},
      {"app execution alias", 0x8000001B, true},
      {"compressed file", 0x80000017, true},
      {"every bit but that one", 0xDFFFFFFF, true},
  };
  for (const auto& c : cases) {
    testing::FakePlatform fake;
    fake.files.reparse_tags[kLog] = c.tag;
    append_setup_log(fake.platform, "line");
    EXPECT_EQ(fake.files.files.count(kLog) > 0, c.written) << c.name;
    EXPECT_EQ(fake.files.append_opens, std::vector<std::string>{kLog}) << c.name;
  }
}

TEST(SetupLog, NothingIsWrittenWhenTheOpenedFileCannotBeDescribed) {
  testing::FakePlatform fake;
  fake.files.append_metadata_fails.insert(kLog);
  append_setup_log(fake.platform, "line");
  EXPECT_EQ(fake.files.files[kLog], "");
}

}  // namespace
}  // namespace vorn
