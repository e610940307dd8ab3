#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "helper_service/image_record.hpp"
#include "support/fake_platform.hpp"
#include "support/matchers.hpp"
#include "support/sha256.hpp"

namespace vorn {
namespace {

using ::testing::ElementsAre;
using ::testing::Each;
using ::testing::HasSubstr;
using testing::FailsWith;

constexpr const char* kExe = "C:\\Program Files\\Vorn\\vorn-helper.exe";
constexpr const char* kRecord = "C:\\ProgramData\\Vorn\\helper.sha256";
constexpr const char* kLog = "C:\\Temp\\vorn-setup.log";
// SHA-256 of "abc".
constexpr const char* kAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

std::string digest(char c) { return std::string(64, c); }

TEST(ImageRecord, FileDigestIsStreamedInFixedChunks) {
  testing::FakeFileSystem files;
  files.files["a"] = "abc";
  EXPECT_EQ(sha256_file_hex(files, "a").value_or(""), kAbc);
  EXPECT_THAT(files.read_sizes, Each(IMAGE_HASH_CHUNK_BYTES));

  // Same digest whether the content fits one chunk or spans several.
  const std::string big(3 * IMAGE_HASH_CHUNK_BYTES + 5, 'v');
  files.files["big"] = big;
  files.read_sizes.clear();
  EXPECT_EQ(sha256_file_hex(files, "big").value_or(""), sha256_hex(big).value_or("x"));
  EXPECT_EQ(files.read_sizes.size(), 5u);  // four with bytes, one at the end

  files.read_errors.insert("a");
  EXPECT_THAT(sha256_file_hex(files, "a"), FailsWith("(os error 23)"));
  EXPECT_THAT(sha256_file_hex(files, "missing"), FailsWith("(os error 2)"));
}

TEST(ImageRecord, LineFilterKeepsOnlyExactDigestLines) {
  const std::string text = "sha256=" + digest('a') + "\r\n" +                // CR LF line
                           "SHA256=" + digest('b') + "\n" +                  // prefix in upper case
                           " sha256=" + digest('c') + "\n" +                 // leading blank
                           "sha256=" + digest('d').substr(1) + "\n" +        // 63 digits
                           "sha256=" + std::string(64, 'G') + "\n" +         // not hex
                           "sha256=" + std::string(64, 'E') + "  \t\n" +     // upper case, trailing blanks
                           "\n" +                                            // empty line
                           "sha256=" + digest('f');                          // no final line feed
  RecordLines lines{text};
  std::vector<std::string> accepted;
  while (auto next = next_recorded_image_hash(lines)) accepted.push_back(*next);
  EXPECT_THAT(accepted, ElementsAre(digest('a'), digest('e'), digest('f')));
}

TEST(ImageRecord, NewDigestGoesLastOnceAndOnlyEightStay) {
  struct Case {
    const char* name;
    std::string existing;
    std::string added;
    std::string expected;
  };
  auto lines = [](std::string_view chars) {
    std::string out;
    for (char c : chars) out += "sha256=" + digest(c) + "\n";
    return out;
  };
  const Case cases[] = {
      {"empty record", "", digest('a'), lines("a")},
      {"same image twice", lines("a"), digest('a'), lines("a")},
      {"repeat moves to the end", lines("abc"), digest('a'), lines("bca")},
      {"ninth drops the oldest", lines("12345678"), digest('9'), lines("23456789")},
      {"duplicates in the file collapse", lines("abab"), digest('c'), lines("abc")},
      {"CR LF read like LF", "sha256=" + digest('a') + "\r\nsha256=" + digest('b') + "\r\n", digest('c'),
       lines("abc")},
      {"upper case kept lower-cased", "sha256=" + std::string(64, 'D') + " \n", digest('a'), lines("da")},
  };
  for (const auto& c : cases) EXPECT_EQ(next_image_record(c.existing, c.added), c.expected) << c.name;
}

struct RecordFixture : ::testing::Test {
  testing::FakePlatform fake;
  RecordFixture() { fake.files.files[kExe] = "abc"; }
};

TEST_F(RecordFixture, RecordIsRewrittenAndHardened) {
  fake.files.files[kRecord] = "junk\nsha256=" + digest('1') + "\n";
  record_helper_image(fake.platform, kExe);
  EXPECT_EQ(fake.files.files[kRecord], "sha256=" + digest('1') + "\nsha256=" + kAbc + "\n");
  EXPECT_TRUE(fake.files.directories.count("C:\\ProgramData\\Vorn"));
  ASSERT_EQ(fake.processes.calls.size(), 1u);
  EXPECT_EQ(fake.processes.calls[0].program, "icacls");
  EXPECT_EQ(fake.processes.calls[0].args.front(), kRecord);
  EXPECT_FALSE(fake.files.files.count(kLog));
}

TEST_F(RecordFixture, UnreadableOrInvalidRecordStartsOver) {
  fake.files.files[kRecord] = "sha256=" + digest('1') + "\n\xff\xfe\n";
  record_helper_image(fake.platform, kExe);
  EXPECT_EQ(fake.files.files[kRecord], std::string("sha256=") + kAbc + "\n");
}

TEST_F(RecordFixture, UnreadableExecutableLeavesTheRecordAndLogs) {
  const std::string before = "sha256=" + digest('1') + "\n";
  fake.files.files[kRecord] = before;
  fake.files.read_errors.insert(kExe);
  record_helper_image(fake.platform, kExe);
  EXPECT_EQ(fake.files.files[kRecord], before);
  EXPECT_THAT(fake.files.files[kLog], HasSubstr(" helper image record skipped: Data error"));
  EXPECT_TRUE(fake.processes.calls.empty());
}

TEST_F(RecordFixture, FailedWriteLogsAndSkipsHardening) {
  fake.files.failing_writes.insert(kRecord);
  record_helper_image(fake.platform, kExe);
  EXPECT_FALSE(fake.files.files.count(kRecord));
  EXPECT_TRUE(fake.processes.calls.empty());
  EXPECT_THAT(fake.files.files[kLog], HasSubstr(" helper image record could not be written\n"));
}

}  // namespace
}  // namespace vorn
