#include <gtest/gtest.h>

#include "helper_engine/store.hpp"
#include "support/fake_platform.hpp"

namespace vorn {
namespace {

using testing::FakePlatform;

TEST(Store, PathsFollowProgramData) {
  struct Case {
    std::optional<std::string> program_data;
    std::string store;
  } cases[] = {
      {std::nullopt, "C:\\ProgramData\\Vorn"},
      {"D:\\Data\\", "D:\\Data\\Vorn"},  // no doubled separator
      {"D:/Data/", "D:/Data/Vorn"},
      {"", "Vorn"},  // present but empty: relative to the working folder
      {"E:\\PD", "E:\\PD\\Vorn"},
  };
  for (const auto& c : cases) {
    FakePlatform fake;
    if (c.program_data) fake.environment.variables["ProgramData"] = *c.program_data;
    EXPECT_EQ(helper_data_dir(fake.environment), c.store);
    EXPECT_EQ(core_dir(fake.environment), c.store + "\\core");
    EXPECT_EQ(trusted_core_path(fake.environment), c.store + "\\core\\sing-box.exe");
    EXPECT_EQ(trusted_wintun_path(fake.environment), c.store + "\\core\\wintun.dll");
    EXPECT_EQ(core_record_path(fake.environment), c.store + "\\core\\sing-box.pid");
  }
}

constexpr const char* kTokenPath = "C:\\ProgramData\\Vorn\\helper.token";

TEST(Token, ExistingTokenIsTrimmedAndLeftAlone) {
  FakePlatform fake;
  fake.files.files[kTokenPath] = "  0123abcd\xe2\x80\x83\r\n";
  EXPECT_EQ(load_or_create_token(fake.platform), "0123abcd");
  EXPECT_EQ(fake.files.files[kTokenPath], "  0123abcd\xe2\x80\x83\r\n");
  EXPECT_TRUE(fake.processes.calls.empty());  // not protected again
}

TEST(Token, UnusableTokenFileIsReplacedAndProtected) {
  for (std::string content : {"", " \t\r\n", "\xff\xfe"}) {
    FakePlatform fake;
    fake.files.files[kTokenPath] = content;
    const auto token = load_or_create_token(fake.platform);
    ASSERT_TRUE(token);
    EXPECT_EQ(token->size(), 32u);
    EXPECT_EQ(token->find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(fake.files.files[kTokenPath], *token);  // no line end
    EXPECT_TRUE(fake.files.directories.count("C:\\ProgramData\\Vorn"));
    ASSERT_EQ(fake.processes.calls.size(), 1u);
    EXPECT_EQ(fake.processes.calls[0].program, "icacls");
    EXPECT_EQ(fake.processes.calls[0].args,
              (std::vector<std::string>{kTokenPath, "/inheritance:r", "/grant:r", "*S-1-5-18:F", "/grant:r",
                                        "*S-1-5-32-544:F", "/grant:r", "*S-1-5-4:R"}));
  }
}

TEST(Token, FailuresToWriteOrProtectStillGiveATokenForThisRun) {
  FakePlatform fake;
  fake.files.unreadable.insert(kTokenPath);
  fake.files.writes_fail = true;
  fake.processes.start_fails = true;
  const auto first = load_or_create_token(fake.platform);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->size(), 32u);
  EXPECT_NE(load_or_create_token(fake.platform), first);  // the next start makes another
}

TEST(Acl, CoreFolderList) {
  EXPECT_EQ(core_dir_acl_arguments("C:\\ProgramData\\Vorn\\core"),
            (std::vector<std::string>{"C:\\ProgramData\\Vorn\\core", "/inheritance:r", "/grant:r", "*S-1-5-18:(OI)(CI)F",
                                      "/grant:r", "*S-1-5-32-544:(OI)(CI)F", "/grant:r", "*S-1-5-32-545:(OI)(CI)RX"}));
}

}  // namespace
}  // namespace vorn
