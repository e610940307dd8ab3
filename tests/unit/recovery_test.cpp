#include <gtest/gtest.h>

#include <limits>

#include "helper_engine/recovery.hpp"
#include "helper_engine/tun_files.hpp"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using Time = std::chrono::steady_clock::time_point;

TEST(AddressRangeFile, OnlyZeroOrOneSurvive) {
  struct Case {
    const char* text;
    std::uint64_t range;
  } cases[] = {
      {"1", 1},
      {"  1\r\n", 1},
      {"+1", 1},
      {"\xe2\x80\x83" "1\xe3\x80\x80", 1},  // Unicode white space around
      {"0", 0},
      {"001", 1},
      {"2", 0},
      {"-1", 0},
      {"+", 0},
      {"-", 0},
      {"1a", 0},
      {"", 0},
      {"1 1", 0},
      {"18446744073709551616", 0},  // overflow
      {"18446744073709551615", 0},
      {"\xff" "1", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_address_range(c.text), c.range) << c.text;
}

const RecoveryAdmission kAll{true, true, true};
const RecoveryAdmission kStopping{false, true, true};

TEST(RecoveryJournal, StagesAppendOnlyInTurn) {
  const Time exit_seen = Time(10s);
  auto journal = RecoveryJournal::begin(RecoveryKind::Address, 2, kAll, kAll, exit_seen);
  ASSERT_EQ(journal.receipt.events.size(), 1u);
  EXPECT_EQ(journal.receipt.attempt, 1);
  EXPECT_EQ(journal.receipt.events[0].stage, RecoveryStage::Detected);
  EXPECT_FALSE(journal.receipt.events[0].trusted_spawn);

  EXPECT_FALSE(journal.record_stage(RecoveryStage::Spawn, kAll, kAll, true, exit_seen + 5ms));  // out of turn
  EXPECT_FALSE(journal.record_stage(RecoveryStage::Detected, kAll, kAll, false, exit_seen + 5ms));
  auto cleanup = journal.record_stage(RecoveryStage::Cleanup, kAll, kStopping, false, exit_seen + 40ms);
  ASSERT_TRUE(cleanup);
  EXPECT_EQ(cleanup->events.back().elapsed_ms, 40u);
  EXPECT_FALSE(cleanup->events.back().admitted);  // the AND of both admissions
  EXPECT_TRUE(cleanup->events.back().same_generation);
  EXPECT_FALSE(journal.record_stage(RecoveryStage::Cleanup, kAll, kAll, false, exit_seen + 41ms));  // repeated
  ASSERT_TRUE(journal.record_stage(RecoveryStage::Spawn, kAll, kAll, true, exit_seen + 90ms));
  ASSERT_TRUE(journal.record_stage(RecoveryStage::Live, kAll, kAll, true, exit_seen + 300ms));
  EXPECT_FALSE(journal.record_stage(RecoveryStage::Live, kAll, kAll, true, exit_seen + 500ms));  // a fifth event
  EXPECT_EQ(journal.receipt.events.size(), 4u);
  EXPECT_EQ(journal.receipt.elapsed_ms, 0u);  // only snapshots carry the elapsed time

  const auto later = journal.receipt_at(exit_seen + 1234ms);
  EXPECT_EQ(later.elapsed_ms, 1234u);
  EXPECT_EQ(journal.receipt_at(exit_seen - 1s).elapsed_ms, 0u);
}

TEST(RecoveryJournal, LogLineHoldsTheLastEventAsSortedCompactJson) {
  const Time exit_seen = Time(10s);
  auto journal = RecoveryJournal::begin(RecoveryKind::Adapter, 7, kAll, {true, false, true}, exit_seen);
  EXPECT_EQ(recovery_log_line(journal.receipt_at(exit_seen + 3s)),
            "[helper/recovery] {\"admitted\":true,\"attempt\":1,\"elapsed_ms\":0,\"generation\":7,\"kind\":\"adapter\","
            "\"owned_adapter_namespace\":true,\"same_generation\":false,\"stage\":\"detected\",\"trusted_spawn\":false}");
  auto spawn = journal.record_stage(RecoveryStage::Cleanup, kAll, kAll, false, exit_seen + 12ms);
  spawn = journal.record_stage(RecoveryStage::Spawn, kAll, kAll, true, exit_seen + 25ms);
  EXPECT_EQ(recovery_log_line(*spawn),
            "[helper/recovery] {\"admitted\":true,\"attempt\":1,\"elapsed_ms\":25,\"generation\":7,\"kind\":\"adapter\","
            "\"owned_adapter_namespace\":true,\"same_generation\":true,\"stage\":\"spawn\",\"trusted_spawn\":true}");
  EXPECT_FALSE(recovery_log_line(RecoveryReceipt{}));
}

}  // namespace
}  // namespace vorn
