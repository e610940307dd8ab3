#include <gtest/gtest.h>

#include "core_image/core_image.hpp"
#include "support/fake_platform.hpp"
#include "support/matchers.hpp"

namespace vorn {
namespace {

using testing::FailsExactly;
using testing::FakePlatform;
using testing::FakeProcess;
namespace reasons = record_reasons;

constexpr const char* kCore = "C:\\ProgramData\\Vorn\\core\\sing-box.exe";
constexpr const char* kImage = "C:\\ProgramData\\Vorn\\core\\vorn-core-s.exe";
constexpr const char* kRecordPath = "C:\\ProgramData\\Vorn\\core\\sing-box.pid";
constexpr std::uint32_t kPid = 900;
constexpr std::uint64_t kCreated = 77;

TEST(CodedErrors, FieldsAreEscapedAndJoined) {
  EXPECT_EQ(escape_code_fields({"a|b{c}", "", "{}|{", "\xc3\xa9"}),
            (std::vector<std::string>{"a\xE2\x9D\x98" "bc", "", "\xE2\x9D\x98", "\xc3\xa9"}));
  EXPECT_EQ(format_error_code("C", {"x", "y"}), "C{x|y}");
  EXPECT_EQ(format_error_code("C", {}), "C{}");
  EXPECT_EQ(error_code_with_field("C", "a|b"), "C{a\xE2\x9D\x98" "b}");
  EXPECT_EQ(error_code_at_site(REPLACEMENT_GUARD_SITE), "E_CORE_ORPHAN{site=core_image-95}");
}

TEST(PrivateImage, AnImageHoldingTheBytesIsLeftAlone) {
  FakePlatform fake;
  fake.files.files[kImage] = "core bytes";
  fake.files.writes_fail = true;  // any write would show
  EXPECT_EQ(install_private_core_image(fake.platform, kCore, "core bytes"), kImage);
  EXPECT_TRUE(fake.files.renamed.empty());
}

TEST(PrivateImage, OtherBytesAreReplacedThroughNumberedTemporaries) {
  FakePlatform fake;
  fake.files.files[kImage] = "older core";
  ASSERT_EQ(install_private_core_image(fake.platform, kCore, "core v2"), kImage);
  fake.files.unreadable.insert(kImage);  // in use: written anew
  ASSERT_EQ(install_private_core_image(fake.platform, kCore, "core v3"), kImage);
  fake.files.unreadable.clear();
  EXPECT_EQ(fake.files.files[kImage], "core v3");
  ASSERT_EQ(fake.files.renamed.size(), 2u);
  // The counter is process-wide: other tests may have taken numbers before.
  const std::string prefix = "C:\\ProgramData\\Vorn\\core\\vorn-core-s.exe.4242-";
  const std::string first = fake.files.renamed[0].first;
  ASSERT_TRUE(first.starts_with(prefix) && first.ends_with(".tmp")) << first;
  const auto n = std::stoull(first.substr(prefix.size()));
  EXPECT_EQ(fake.files.renamed[1].first, prefix + std::to_string(n + 1) + ".tmp");
  EXPECT_EQ(fake.files.files.size(), 1u);  // no temporary left
}

TEST(PrivateImage, AFailedWriteOrRenameNamesItsCauseAndRemovesTheTemporary) {
  struct Case {
    bool rename_fails;
    const char* error;
  } cases[] = {
      {false, "write private core runtime image: Access is denied. (os error 5)"},
      {true, "install private core runtime image: Access is denied. (os error 5)"},
  };
  for (const auto& c : cases) {
    FakePlatform fake;
    fake.files.files[kImage] = "older core";
    if (c.rename_fails) {
      fake.files.failing_renames.insert(kImage);
    } else {
      fake.files.writes_fail = true;
    }
    EXPECT_THAT(install_private_core_image(fake.platform, kCore, "core v2"), FailsExactly(c.error));
    EXPECT_EQ(fake.files.files.size(), 1u);  // only the old image
    EXPECT_EQ(fake.files.files[kImage], "older core");
  }
}

TEST(ExpectedCoreExecutable, ThePrivateImageOnlyWhenTheRecordNamesIt) {
  struct Case {
    std::optional<std::string> record;
    std::string expected;
  } cases[] = {
      {std::nullopt, kCore},
      {serialize_proc_record({kPid, kCreated, "\\\\?\\c:/programdata/vorn/core/VORN-CORE-S.EXE"}), kImage},
      {serialize_proc_record({kPid, kCreated, kCore}), kCore},
      {serialize_proc_record({kPid, kCreated, "C:\\elsewhere\\vorn-core-s.exe"}), kCore},
      {"not a record", kCore},
  };
  for (const auto& c : cases) {
    FakePlatform fake;
    if (c.record) fake.files.files[kRecordPath] = *c.record;
    EXPECT_EQ(expected_core_executable(fake.files, kRecordPath, kCore), c.expected) << c.record.value_or("none");
  }
}

TEST(ReplacementGuard, RefusesWhileARecordedCoreMayRun) {
  const std::string ours = serialize_proc_record({kPid, kCreated, kImage});
  const std::string orphan_text = "E_CORE_ORPHAN{site=core_image-95}";
  struct Case {
    const char* name;
    std::optional<std::string> record;
    std::optional<FakeProcess> process;
    bool refused;
    bool record_stays;
  } cases[] = {
      {"no record", std::nullopt, std::nullopt, false, false},
      {"our core runs", ours, FakeProcess{.created = kCreated, .image_path = kImage}, true, true},
      {"the core runs from the pinned file", serialize_proc_record({kPid, kCreated, kCore}),
       FakeProcess{.created = kCreated, .image_path = kCore}, true, true},
      {"gone", ours, std::nullopt, false, false},
      {"pid reused", ours, FakeProcess{.created = kCreated + 1, .image_path = kImage}, false, false},
      {"cannot be opened", ours, FakeProcess{.created = kCreated, .image_path = kImage, .open_error = 5u}, true, true},
      {"unreadable", "{}", std::nullopt, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform fake;
    if (c.record) fake.files.files[kRecordPath] = *c.record;
    if (c.process) fake.processes.table[kPid] = *c.process;
    const Status guarded = guard_replacement_launch(fake.platform, kRecordPath, kCore);
    if (c.refused) {
      ASSERT_FALSE(guarded);
      EXPECT_EQ(guarded.error().message(), orphan_text);
      EXPECT_EQ(guarded.error().cause(), nullptr);
    } else {
      EXPECT_TRUE(guarded);
    }
    EXPECT_EQ(fake.files.files.count(kRecordPath) != 0, c.record_stays);
    EXPECT_TRUE(fake.processes.terminated.empty());
  }
}

TEST(StopRecordedCore, TerminatesARecordedCoreOfOurs) {
  FakePlatform fake;
  fake.files.files[kRecordPath] = serialize_proc_record({kPid, kCreated, kImage});
  fake.processes.table[kPid] = FakeProcess{.created = kCreated, .image_path = kImage};
  EXPECT_EQ(stop_recorded_core(fake.platform, kRecordPath, kCore, {3, 0}),
            RecordOutcome(record_outcome::Terminated{true}));
  EXPECT_EQ(fake.processes.terminated, std::vector<std::uint32_t>{kPid});
  EXPECT_EQ(fake.processes.wait_timeouts, std::vector<std::uint32_t>{3000});
  EXPECT_EQ(fake.files.files.count(kRecordPath), 0u);
}

}  // namespace
}  // namespace vorn
