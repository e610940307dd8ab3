#include <gtest/gtest.h>

#include <functional>

#include "proc_guard/proc_guard.hpp"
#include "support/record_printing.hpp"
#include "support/fake_platform.hpp"

namespace vorn {
namespace {

using testing::FakePlatform;
using testing::FakeProcess;
namespace reasons = record_reasons;
using record_outcome::Absent;
using record_outcome::Stale;
using record_outcome::Terminated;
using record_outcome::Unconfirmed;

constexpr const char* kRecordPath = "C:\\ProgramData\\Vorn\\core\\sing-box.pid";
constexpr const char* kImage = "C:\\ProgramData\\Vorn\\core\\vorn-core-s.exe";
constexpr std::uint32_t kPid = 4711;
constexpr std::uint64_t kCreated = 133000000000000000ull;

std::string record_text(std::uint32_t pid = kPid, std::uint64_t created = kCreated, std::string path = kImage) {
  return serialize_proc_record({pid, created, std::move(path)});
}

// ---------------------------------------------------------------- format

TEST(ProcRecordFormat, WritesOneCompactObjectWithEscapedPath) {
  EXPECT_EQ(serialize_proc_record({12, 34, "C:\\a b\\\"q\"\x01\xc3\xa9.exe"}),
            "{\"pid\":12,\"created\":34,\"path\":\"C:\\\\a b\\\\\\\"q\\\"\\u0001\xc3\xa9.exe\"}");
  const ProcRecord extreme{4294967295u, 18446744073709551615ull, "\\\\?\\C:\\x"};
  EXPECT_EQ(parse_proc_record(serialize_proc_record(extreme)), extreme);
}

TEST(ProcRecordFormat, ReaderAcceptsOnlyStrictRecords) {
  const ProcRecord base{7, 9, "C:\\x.exe"};
  struct Case {
    std::string text;
    std::optional<ProcRecord> record;
  } cases[] = {
      {R"({"pid":7,"created":9,"path":"C:\\x.exe"})", base},
      {R"({"path":"C:\\x.exe","created":9,"pid":7})", base},  // any order
      {"{\"pid\":7,\"created\":9,\"path\":\"C:\\\\x.exe\"} \r\n\t", base},
      {R"({"x":[1,{"pid":"no"}],"pid":7,"x":null,"created":9,"path":"C:\\x.exe"})", base},  // others ignored
      {R"({"pid":0,"created":0,"path":""})", ProcRecord{}},  // readable, though incomplete
      {R"({"pid":4294967295,"created":18446744073709551615,"path":"p"})",
       ProcRecord{4294967295u, 18446744073709551615ull, "p"}},
      {"", std::nullopt},
      {"{}", std::nullopt},
      {"not json", std::nullopt},
      {R"({"pid":7,"created":9})", std::nullopt},                               // missing key
      {R"({"pid":7,"pid":7,"created":9,"path":"p"})", std::nullopt},            // repeated key
      {R"({"pid":7,"created":9,"path":"p","path":"p"})", std::nullopt},
      {R"({"pid":4294967296,"created":9,"path":"p"})", std::nullopt},          // out of range
      {R"({"pid":-1,"created":9,"path":"p"})", std::nullopt},
      {R"({"pid":7,"created":18446744073709551616,"path":"p"})", std::nullopt},
      {R"({"pid":7.0,"created":9,"path":"p"})", std::nullopt},
      {R"({"pid":"7","created":9,"path":"p"})", std::nullopt},
      {R"({"pid":7,"created":9,"path":5})", std::nullopt},
      {R"({"pid":7,"created":9,"path":null})", std::nullopt},
      {R"({"pid":7,"created":[9],"path":"p"})", std::nullopt},
      {R"({"pid":7,"created":9,"path":"p"}x)", std::nullopt},  // trailing bytes
      {R"({"pid":7,"created":9,"path":"p"}{})", std::nullopt},
      {R"([7,9,"p"])", std::nullopt},
      {"\xEF\xBB\xBF{\"pid\":7,\"created\":9,\"path\":\"p\"}", std::nullopt},
      {std::string("{\"pid\":7,\"created\":9,\"path\":\"p\"}\0x", 33), std::nullopt},
      {"{\"pid\":7,\"created\":9,\"path\":\"\xff\"}", std::nullopt},  // not UTF-8
  };
  for (const auto& c : cases) EXPECT_EQ(parse_proc_record(c.text), c.record) << c.text;
}

TEST(ProcRecordFormat, ReaderRefusesMoreThan127OpenLevels) {
  // The record itself is the first level, so an ignored key may hold 126
  // nested values and no more.
  const auto nested = [](const std::string& open, const std::string& close, std::size_t n) {
    std::string value;
    for (std::size_t i = 0; i < n; ++i) value += open;
    value += "0";
    for (std::size_t i = 0; i < n; ++i) value += close;
    return R"({"x":)" + value + R"(,"pid":7,"created":9,"path":"p"})";
  };
  const ProcRecord record{7, 9, "p"};
  struct Case {
    const char* name;
    std::string text;
    std::optional<ProcRecord> record;
  } cases[] = {
      {"127 levels of arrays", nested("[", "]", 126), record},
      {"128 levels of arrays", nested("[", "]", 127), std::nullopt},
      {"127 levels of objects", nested(R"({"a":)", "}", 126), record},
      {"128 levels of objects", nested(R"({"a":)", "}", 127), std::nullopt},
      {"201 levels", nested("[", "]", 200), std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_proc_record(c.text), c.record) << c.name;
}

// ---------------------------------------------------------------- path keys

TEST(PathKeys, NormalizeAndCompare) {
  struct Case {
    std::string a, b;
    bool same;
  } cases[] = {
      {"C:\\ProgramData\\Vorn\\core\\vorn-core-s.exe", "\\\\?\\c:/programdata/VORN/core/VORN-CORE-S.EXE\\", true},
      {"C:\\x.exe\\\\\\", "c:\\X.EXE", true},                           // every trailing backslash
      {"\xe2\x80\x83 C:\\x.exe\xe3\x80\x80\n", "C:\\x.exe", true},      // Unicode white space
      {"C:\\\xc3\x89T\xc3\x89\\\xce\xa9.exe", "c:\\\xc3\xa9t\xc3\xa9\\\xcf\x89.exe", true},  // non-ASCII capitals
      {"C:\\a.exe", "C:\\b.exe", false},
      {"", "", false},          // two empty paths are not one image
      {"\\\\\\", "/", false},   // both keys empty
      {"\\\\?\\", "\\\\?", false},
  };
  for (const auto& c : cases) EXPECT_EQ(same_image_path(c.a, c.b), c.same) << c.a << " | " << c.b;
  EXPECT_EQ(normalize_path_key("\\\\?\\C:/Dir//"), "c:\\dir");
  EXPECT_EQ(normalize_path_key("\\\\?\\"), "");
  EXPECT_EQ(normalize_path_key("  //?/C:/x "), "\\\\?\\c:\\x");  // only the backslash form is a prefix
}

TEST(Waits, TurnIntoCappedMilliseconds) {
  struct Case {
    WaitSpan wait;
    std::uint32_t ms;
  } cases[] = {
      {{3, 0}, 3000},
      {{5, 0}, 5000},
      {{1, 999'999'999}, 1999},  // the remainder is dropped
      {{0, 999'999}, 0},
      {{4294967, 294'000'000}, 4294967294u},
      {{4294967, 295'000'000}, 4294967294u},  // one above the cap
      {{18446744073709551615ull, 999'999'999}, 4294967294u},
  };
  for (const auto& c : cases) EXPECT_EQ(wait_milliseconds(c.wait), c.ms) << c.wait.seconds;
}

// ---------------------------------------------------------------- verification

TEST(VerifyProcRecord, ChecksRunInOrder) {
  const ProcRecord ours{kPid, kCreated, kImage};
  const ProcessIdentity alive{kImage, kCreated, true};
  struct Case {
    ProcRecord record;
    std::optional<ProcessIdentity> identity;
    std::optional<std::string> reason;
  } cases[] = {
      // Each case also fails every later check, so only the order decides.
      {{kPid, 0, "C:\\other.exe"}, std::nullopt, reasons::INCOMPLETE},
      {{0, kCreated, "C:\\other.exe"}, std::nullopt, reasons::INCOMPLETE},
      {{kPid, kCreated, "C:\\other.exe"}, std::nullopt, reasons::NAMES_OTHER_EXECUTABLE},
      {{kPid, kCreated, ""}, std::nullopt, reasons::NAMES_OTHER_EXECUTABLE},
      {ours, std::nullopt, reasons::GONE_OR_UNINSPECTABLE},
      {ours, ProcessIdentity{"", kCreated + 1, false}, reasons::ALREADY_EXITED},
      {ours, ProcessIdentity{"C:\\other.exe", kCreated + 1, true}, reasons::PID_REUSED},
      {ours, ProcessIdentity{"C:\\other.exe", kCreated, true}, reasons::RUNS_OTHER_EXECUTABLE},
      {ours, alive, std::nullopt},
      // Record and live path are each held against the expected one.
      {{kPid, kCreated, "c:/programdata/vorn/core/VORN-CORE-S.EXE"}, alive, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(verify_proc_record(c.record, kImage, c.identity), c.reason) << c.record.path;
  }
}

TEST(ProbeProcessIdentity, ReadsTimesImageAndExitCode) {
  FakePlatform fake;
  auto& table = fake.processes.table;
  table[1] = FakeProcess{.created = 5, .image_path = kImage};
  table[2] = FakeProcess{.created = 5, .exited = 6, .image_error = 31u};  // exited: the image is not asked for
  table[3] = FakeProcess{.created = 5, .image_path = kImage, .exit_code = 0};  // exited, times not yet updated
  table[4] = FakeProcess{.times_fail = true};
  table[5] = FakeProcess{.image_error = 31u};
  table[6] = FakeProcess{.exit_code_fails = true};
  auto probe = [&](std::uint32_t pid) {
    auto handle = fake.processes.open_process(pid, platform::PROCESS_ACCESS_QUERY_LIMITED);
    return probe_process_identity(**handle);
  };
  EXPECT_EQ(probe(1), (ProcessIdentity{kImage, 5, true}));
  EXPECT_EQ(probe(2), (ProcessIdentity{"", 5, false}));
  EXPECT_EQ(probe(3), (ProcessIdentity{kImage, 5, false}));
  EXPECT_EQ(probe(4), std::nullopt);
  EXPECT_EQ(probe(5), std::nullopt);
  EXPECT_EQ(probe(6), std::nullopt);
}

// ---------------------------------------------------------------- record operations

struct RecordFixture {
  FakePlatform fake;
  bool record_kept() { return fake.files.files.count(kRecordPath) != 0; }
};

TEST(RecordOperations, OutcomesForEachSituation) {
  using Setup = std::function<void(RecordFixture&)>;
  auto with_record = [](std::string text, std::optional<FakeProcess> process = std::nullopt) -> Setup {
    return [text, process](RecordFixture& f) {
      f.fake.files.files[kRecordPath] = text;
      if (process) f.fake.processes.table[kPid] = *process;
    };
  };
  const FakeProcess ours{.created = kCreated, .image_path = kImage};
  FakeProcess refused = ours;
  refused.open_error = 5u;
  FakeProcess reused = ours;
  reused.created = kCreated + 10;
  FakeProcess exited = ours;
  exited.exited = kCreated + 5;
  exited.exit_code = 0;
  FakeProcess other_image = ours;
  other_image.image_path = "C:\\Windows\\notepad.exe";
  FakeProcess no_times = ours;
  no_times.times_fail = true;
  FakeProcess no_image = ours;
  no_image.image_error = 5u;
  FakeProcess stubborn = ours;
  stubborn.terminate_refused = true;
  FakeProcess slow = ours;
  slow.exits_on_terminate = false;
  FakeProcess wait_fails = ours;
  wait_fails.wait_fails = true;

  struct Case {
    const char* name;
    Setup setup;
    RecordOutcome ensured;  // ensure_recorded_process_gone
    RecordOutcome torn;     // teardown_recorded_process with 3 s
    bool terminated;        // the teardown terminated the process
  } cases[] = {
      {"no record", [](RecordFixture&) {}, Absent{}, Absent{}, false},
      {"empty file", with_record(""), Unconfirmed{reasons::UNREADABLE}, Unconfirmed{reasons::UNREADABLE}, false},
      {"empty object", with_record("{}"), Unconfirmed{reasons::UNREADABLE}, Unconfirmed{reasons::UNREADABLE}, false},
      {"not JSON", with_record("pid=1"), Unconfirmed{reasons::UNREADABLE}, Unconfirmed{reasons::UNREADABLE}, false},
      {"presence unknown",
       [](RecordFixture& f) {
         f.fake.files.files[kRecordPath] = "x";
         f.fake.files.unreadable.insert(kRecordPath);
         f.fake.files.presence_unknown.insert(kRecordPath);
       },
       Unconfirmed{reasons::ABSENCE_UNKNOWN}, Unconfirmed{reasons::ABSENCE_UNKNOWN}, false},
      {"incomplete", with_record(R"({"pid":0,"created":5,"path":"x"})"), Unconfirmed{reasons::INCOMPLETE},
       Unconfirmed{reasons::INCOMPLETE}, false},
      {"gone (87)", with_record(record_text()), Stale{reasons::GONE_OR_UNINSPECTABLE},
       Stale{reasons::GONE_OR_UNINSPECTABLE}, false},
      {"access refused (5)", with_record(record_text(), refused), Unconfirmed{reasons::CANNOT_INSPECT},
       Unconfirmed{reasons::CANNOT_INSPECT_FOR_TEARDOWN}, false},
      {"times unreadable", with_record(record_text(), no_times), Unconfirmed{reasons::CANNOT_INSPECT},
       Unconfirmed{reasons::CANNOT_INSPECT_FOR_TEARDOWN}, false},
      {"image unreadable", with_record(record_text(), no_image), Unconfirmed{reasons::CANNOT_INSPECT},
       Unconfirmed{reasons::CANNOT_INSPECT_FOR_TEARDOWN}, false},
      {"record names another file", with_record(record_text(kPid, kCreated, "C:\\sing-box.exe"), ours),
       Stale{reasons::NAMES_OTHER_EXECUTABLE}, Stale{reasons::NAMES_OTHER_EXECUTABLE}, false},
      {"pid reused", with_record(record_text(), reused), Stale{reasons::PID_REUSED}, Stale{reasons::PID_REUSED},
       false},
      {"exited but openable", with_record(record_text(), exited), Stale{reasons::ALREADY_EXITED},
       Stale{reasons::ALREADY_EXITED}, false},
      {"another image", with_record(record_text(), other_image), Stale{reasons::RUNS_OTHER_EXECUTABLE},
       Stale{reasons::RUNS_OTHER_EXECUTABLE}, false},
      {"ours, alive", with_record(record_text(), ours), Unconfirmed{reasons::STILL_ALIVE}, Terminated{true}, true},
      {"terminate refused", with_record(record_text(), stubborn), Unconfirmed{reasons::STILL_ALIVE},
       Unconfirmed{reasons::TERMINATE_REFUSED}, false},
      {"does not exit in time", with_record(record_text(), slow), Unconfirmed{reasons::STILL_ALIVE},
       Terminated{false}, true},
      {"wait fails", with_record(record_text(), wait_fails), Unconfirmed{reasons::STILL_ALIVE}, Terminated{false},
       true},
  };
  auto deletes = [](const RecordOutcome& o) {
    if (std::holds_alternative<Stale>(o)) return true;
    const auto* t = std::get_if<Terminated>(&o);
    return t != nullptr && t->exited_in_time;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      RecordFixture f;
      c.setup(f);
      const bool had_record = f.record_kept();
      const RecordOutcome outcome = ensure_recorded_process_gone(f.fake.platform, kRecordPath, kImage);
      EXPECT_EQ(outcome, c.ensured) << describe_outcome(outcome);
      EXPECT_EQ(f.record_kept(), had_record && !std::holds_alternative<Stale>(outcome));
      EXPECT_TRUE(f.fake.processes.terminated.empty());
      EXPECT_TRUE(f.fake.processes.wait_timeouts.empty());  // a check never waits
      EXPECT_EQ(f.fake.processes.open_handles, 0);
      for (const auto& [pid, access] : f.fake.processes.opened) EXPECT_EQ(access, 0x1000u);
    }
    {
      RecordFixture f;
      c.setup(f);
      const bool had_record = f.record_kept();
      const RecordOutcome outcome = teardown_recorded_process(f.fake.platform, kRecordPath, kImage, {3, 0});
      EXPECT_EQ(outcome, c.torn) << describe_outcome(outcome);
      EXPECT_EQ(f.record_kept(), had_record && !deletes(outcome));
      EXPECT_EQ(f.fake.processes.terminated, c.terminated ? std::vector<std::uint32_t>{kPid} : std::vector<std::uint32_t>{});
      EXPECT_EQ(f.fake.processes.wait_timeouts,
                c.terminated ? std::vector<std::uint32_t>{3000} : std::vector<std::uint32_t>{});
      EXPECT_EQ(f.fake.processes.open_handles, 0);
      for (const auto& [pid, access] : f.fake.processes.opened) EXPECT_EQ(access, 0x00101001u);
    }
  }
}

TEST(TerminateRecordedProcess, IncompleteRecordsOfReadableProcessesAreStale) {
  FakePlatform fake;
  fake.processes.table[kPid] = FakeProcess{.created = kCreated, .image_path = kImage};
  struct Case {
    ProcRecord record;
    RecordOutcome outcome;
  } cases[] = {
      {{kPid, 0, kImage}, Stale{reasons::INCOMPLETE}},
      {{kPid, kCreated, ""}, Stale{reasons::NAMES_OTHER_EXECUTABLE}},
      {{0, kCreated, kImage}, Unconfirmed{reasons::CANNOT_INSPECT_FOR_TEARDOWN}},
      {{kPid + 1, 0, kImage}, Unconfirmed{reasons::CANNOT_INSPECT_FOR_TEARDOWN}},  // 87, but no proof to compare
  };
  for (const auto& c : cases) {
    EXPECT_EQ(terminate_recorded_process(fake.processes, c.record, kImage, {5, 0}), c.outcome) << c.record.pid;
  }
  EXPECT_TRUE(fake.processes.terminated.empty());
}

TEST(RecordProcess, WritesThroughATemporaryAndRefusesWhatCannotBeProved) {
  const std::string temporary = "C:\\ProgramData\\Vorn\\core\\sing-box.pid.tmp";
  struct Case {
    const char* name;
    std::optional<FakeProcess> process;
    std::function<void(FakePlatform&)> fault;
    bool recorded;
    bool old_record_stays;
  } cases[] = {
      {"alive", FakeProcess{.created = kCreated, .image_path = kImage}, nullptr, true, false},
      {"exited", FakeProcess{.created = kCreated, .exited = kCreated + 1}, nullptr, false, false},
      {"gone", std::nullopt, nullptr, false, false},
      {"zero creation time", FakeProcess{.created = 0, .image_path = kImage}, nullptr, false, false},
      {"empty image", FakeProcess{.created = kCreated}, nullptr, false, false},
      {"write fails", FakeProcess{.created = kCreated, .image_path = kImage},
       [&](FakePlatform& f) { f.files.failing_writes.insert(temporary); }, false, true},
      {"rename fails", FakeProcess{.created = kCreated, .image_path = kImage},
       [](FakePlatform& f) { f.files.failing_renames.insert(kRecordPath); }, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform fake;
    fake.files.files[kRecordPath] = "old";
    if (c.process) fake.processes.table[kPid] = *c.process;
    if (c.fault) c.fault(fake);
    const auto record = record_process(fake.platform, kRecordPath, kPid);
    EXPECT_EQ(record.has_value(), c.recorded);
    EXPECT_EQ(fake.files.files.count(temporary), 0u);
    if (c.recorded) {
      EXPECT_EQ(*record, (ProcRecord{kPid, kCreated, kImage}));
      EXPECT_EQ(fake.files.files[kRecordPath], record_text());
    } else if (c.old_record_stays) {
      EXPECT_EQ(fake.files.files[kRecordPath], "old");
    } else {
      EXPECT_EQ(fake.files.files.count(kRecordPath), 0u);
    }
    EXPECT_EQ(fake.processes.open_handles, 0);
  }
  FakePlatform fake;
  fake.files.files[kRecordPath] = "old";
  EXPECT_EQ(record_process(fake.platform, kRecordPath, 0), std::nullopt);  // pid 0 is never opened
  EXPECT_TRUE(fake.processes.opened.empty());
  EXPECT_EQ(fake.files.files.count(kRecordPath), 0u);
}

}  // namespace
}  // namespace vorn
