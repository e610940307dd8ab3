// Ownership records against real processes: a stand-in child is recorded,
// checked and terminated through the Win32 layer.
#include <gtest/gtest.h>

#include <string>

#include "helper_process.hpp"
#include "platform/win32/system.hpp"
#include "proc_guard/proc_guard.hpp"
#include "support/record_printing.hpp"

namespace vorn::wintest {
namespace {

namespace reasons = record_reasons;
using record_outcome::Stale;
using record_outcome::Terminated;
using record_outcome::Unconfirmed;

std::string narrow(const std::wstring& w) { return win32::narrow(w); }

// A running copy of the sleeper under `image`; terminated when the object goes.
class Child {
 public:
  explicit Child(const std::wstring& image) {
    std::wstring line = L"\"" + image + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (::CreateProcessW(image.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                         &pi)) {
      ::CloseHandle(pi.hThread);
      process_.reset(pi.hProcess);
      pid_ = pi.dwProcessId;
    }
  }
  ~Child() {
    if (process_) ::TerminateProcess(process_.get(), 0);
  }
  std::uint32_t pid() const { return pid_; }
  bool running() const { return process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }
  DWORD exit_code() const {
    DWORD code = 0;
    ::GetExitCodeProcess(process_.get(), &code);
    return code;
  }
  std::uint64_t created() const {
    FILETIME c{}, e{}, k{}, u{};
    ::GetProcessTimes(process_.get(), &c, &e, &k, &u);
    return (std::uint64_t{c.dwHighDateTime} << 32) | c.dwLowDateTime;
  }

 private:
  win32::unique_handle process_;
  std::uint32_t pid_ = 0;
};

class RealRecords : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = make_temp_folder(L"vorn-records-");
    sleeper_ = own_folder() + L"\\vorn-test-sleeper.exe";
    record_path_ = narrow(folder_) + "\\sing-box.pid";
  }
  platform::Platform& os() { return platform::win32_platform(); }
  bool record_exists() { return os().files.presence(record_path_) == platform::Presence::Present; }

  std::wstring folder_;
  std::wstring sleeper_;
  std::string record_path_;
};

TEST_F(RealRecords, RecordCheckAndTerminateAChildOfOurs) {
  Child child(sleeper_);
  ASSERT_TRUE(child.running());
  auto record = record_process(os(), record_path_, child.pid());
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->pid, child.pid());
  EXPECT_EQ(record->created, child.created());
  EXPECT_TRUE(same_image_path(record->path, narrow(sleeper_))) << record->path;
  EXPECT_EQ(read_proc_record(os().files, record_path_), record);
  EXPECT_EQ(os().files.presence(record_path_ + ".tmp"), platform::Presence::Absent);

  const std::string expected = narrow(sleeper_);
  EXPECT_EQ(ensure_recorded_process_gone(os(), record_path_, expected),
            RecordOutcome(Unconfirmed{reasons::STILL_ALIVE}));
  EXPECT_TRUE(record_exists());
  EXPECT_TRUE(child.running());

  // Another expected image: the record itself is stale, nothing is touched.
  EXPECT_EQ(terminate_recorded_process(os().processes, *record, "C:\\windows\\notepad.exe", {5, 0}),
            RecordOutcome(Stale{reasons::NAMES_OTHER_EXECUTABLE}));
  EXPECT_TRUE(child.running());

  EXPECT_EQ(teardown_recorded_process(os(), record_path_, expected, {5, 0}), RecordOutcome(Terminated{true}));
  EXPECT_FALSE(child.running());
  EXPECT_EQ(child.exit_code(), 1u);
  EXPECT_FALSE(record_exists());
}

TEST_F(RealRecords, AnExitedChildIsNeitherRecordedNorTouched) {
  std::uint32_t gone_pid = 0;
  ProcRecord gone;
  {
    Child child(sleeper_);
    ASSERT_TRUE(child.running());
    auto record = record_process(os(), record_path_, child.pid());
    ASSERT_TRUE(record.has_value());
    gone = *record;
    gone_pid = child.pid();
  }  // terminated and its handle closed: the id is freed once the system lets go of it
  for (int i = 0; i < 100 && os().processes.open_process(gone_pid, platform::PROCESS_ACCESS_QUERY_LIMITED); ++i) {
    ::Sleep(50);
  }
  // Recording a process that is gone deletes the old record.
  EXPECT_EQ(record_process(os(), record_path_, gone_pid), std::nullopt);
  EXPECT_FALSE(record_exists());

  // A record naming it: Wine answers the open with 87, which proves it gone.
  ASSERT_TRUE(os().files.write_file(record_path_, serialize_proc_record(gone)));
  EXPECT_EQ(ensure_recorded_process_gone(os(), record_path_, narrow(sleeper_)),
            RecordOutcome(Stale{reasons::GONE_OR_UNINSPECTABLE}));
  EXPECT_FALSE(record_exists());
  auto opened = os().processes.open_process(gone_pid, platform::PROCESS_ACCESS_QUERY_LIMITED);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().os_code(), 87u);
}

TEST_F(RealRecords, AProcessRunningAnotherImageIsStaleAndKeepsRunning) {
  const std::wstring other = folder_ + L"\\other-image.exe";
  ASSERT_TRUE(::CopyFileW(sleeper_.c_str(), other.c_str(), FALSE));
  Child child(other);
  ASSERT_TRUE(child.running());
  // The record claims the expected image, but the live process runs the copy.
  const ProcRecord claimed{child.pid(), child.created(), narrow(sleeper_)};
  ASSERT_TRUE(os().files.write_file(record_path_, serialize_proc_record(claimed)));
  EXPECT_EQ(teardown_recorded_process(os(), record_path_, narrow(sleeper_), {5, 0}),
            RecordOutcome(Stale{reasons::RUNS_OTHER_EXECUTABLE}));
  EXPECT_TRUE(child.running());
  EXPECT_FALSE(record_exists());

  // Same image but another creation time: the id was reused.
  const ProcRecord reused{child.pid(), child.created() - 1, narrow(other)};
  EXPECT_EQ(check_recorded_process(os().processes, reused, narrow(other)),
            RecordOutcome(Stale{reasons::PID_REUSED}));
  EXPECT_TRUE(child.running());
}

// ---------------------------------------------------------------- files

TEST(FilesForRecords, PresenceMetadataAndBoundedReads) {
  auto& files = platform::win32_platform().files;
  const std::string folder = win32::narrow(make_temp_folder(L"vorn-files-"));
  const std::string file = folder + "\\eleven.bin";
  ASSERT_TRUE(files.write_file(file, "hello world"));
  EXPECT_EQ(files.presence(file), platform::Presence::Present);
  EXPECT_EQ(files.presence(folder), platform::Presence::Present);
  EXPECT_EQ(files.presence(folder + "\\missing"), platform::Presence::Absent);
  EXPECT_EQ(files.presence(folder + "\\missing\\deeper"), platform::Presence::Absent);

  auto meta = files.target_metadata(file);
  ASSERT_TRUE(meta);
  EXPECT_EQ(meta->size, 11u);
  EXPECT_NE(meta->last_write, 0u);
  EXPECT_FALSE(files.target_metadata(folder + "\\missing"));

  EXPECT_EQ(files.read_regular_file(file, 11), "hello world");
  struct Case {
    std::string path;
    std::uint64_t max;
    std::string cause;
  } refused[] = {
      {file, 10, "the file is larger than 10 bytes"},
      {folder, 1024, "the path names a directory, not a regular file"},
      {"\\\\.\\pipe\\vorn-helper-no-such-pipe", 1024, "the path names a device or a pipe, not a regular file"},
      {"\\\\localhost\\pipe\\vorn-helper", 1024, "the path names a device or a pipe, not a regular file"},
      {"\\\\?\\UNC\\localhost\\PIPE\\vorn-helper", 1024, "the path names a device or a pipe, not a regular file"},
      {"\\\\.\\PhysicalDrive0", 1024, "the path names a device or a pipe, not a regular file"},
      {"CON", 1024, ""},  // Wine has no console here and refuses the open (6)
      {"NUL", 1024, "the path names a device or a pipe, not a regular file"},
  };
  for (const auto& c : refused) {
    auto read = files.read_regular_file(c.path, c.max);
    ASSERT_FALSE(read) << c.path;
    if (!c.cause.empty()) {
      EXPECT_EQ(read.error().full(), c.cause) << c.path;
    }
  }
  auto missing = files.read_regular_file(folder + "\\missing", 1024);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().os_code(), 2u);
}

}  // namespace
}  // namespace vorn::wintest
