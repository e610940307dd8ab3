// The real Win32 layer, run under Wine (or Windows).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/path_root.hpp"
#include "platform/win32/system.hpp"
#include "platform/win32/windows_support.hpp"
#include "support/command_line.hpp"
#include "support/matchers.hpp"
#include "support/text.hpp"

namespace vorn::platform {
namespace {

using ::testing::Contains;
using ::testing::EndsWith;
using ::testing::Field;
using ::testing::Optional;
using vorn::testing::FailsWith;
using vorn::testing::Succeeds;

Platform& os() { return win32_platform(); }

template <class T>
std::optional<std::uint32_t> os_code(const Result<T>& result) {
  if (result) return std::nullopt;
  return result.error().os_code();
}

// The OS code of the single cause of a service-manager error.
template <class T>
std::optional<std::uint32_t> cause_code(const Result<T>& result) {
  if (result || result.error().cause() == nullptr) return std::nullopt;
  return result.error().cause()->os_code();
}

std::string lower(std::string s) { return text::to_lower_ascii(s); }

// ---------------------------------------------------------------- files

TEST(PathRoot, EndsAfterTheDriveShareOrPrefix) {
  struct Case {
    std::wstring path;
    std::size_t root;
  } cases[] = {
      {L"C:\\ProgramData\\Vorn", 3},
      {L"c:/ProgramData", 3},
      {L"C:", 2},
      {L"C:relative\\dir", 2},
      {L"\\rooted\\dir", 1},
      {L"/rooted", 1},
      {L"relative\\dir", 0},
      {L"", 0},
      {L"\\\\server\\share\\dir", 15},
      {L"//server/share/dir", 15},
      {L"\\\\server\\share", 14},
      {L"\\\\?\\C:\\dir", 7},
      {L"\\\\?\\C:", 6},
      {L"\\\\?\\UNC\\server\\share\\dir", 21},
      {L"\\\\?\\unc\\server\\share", 20},
      {L"\\\\?\\Volume{0000}\\dir", 17},
      {L"\\\\.\\pipe\\name", 9},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(win32::path_root_length(c.path), c.root) << win32::narrow(c.path);
  }
}

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    auto temp = os().environment.temp_dir();
    ASSERT_THAT(temp, Succeeds());
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = *temp + "vorn-platform-" + std::to_string(os().processes.current_pid()) + "-" + info->name();
    ASSERT_THAT(os().files.create_directories(root_), Succeeds());
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(win32::wide(root_)), ignored);
  }
  std::string path(std::string_view name) const { return root_ + "\\" + std::string(name); }

  FileSystem& files = os().files;
  std::string root_;
};

TEST_F(Files, CreateDirectoriesMakesEveryMissingAncestorInEachPathForm) {
  const std::string forms[] = {
      path("a\\b\\c"),
      path("d/e/f"),
      path("g\\h/i\\\\"),
      "\\\\?\\" + path("j\\k"),
      root_,  // exists already
  };
  for (const auto& form : forms) {
    EXPECT_THAT(files.create_directories(form), Succeeds()) << form;
    EXPECT_THAT(files.metadata(form), Optional(Field(&FileMeta::is_directory, true))) << form;
    EXPECT_THAT(files.create_directories(form), Succeeds()) << "again: " << form;
  }
}

TEST_F(Files, CreateDirectoriesRefusesAFileOrAnEmptyPathAndFindsARoot) {
  ASSERT_THAT(files.write_file(path("plain"), "x"), Succeeds());
  EXPECT_EQ(os_code(files.create_directories(path("plain"))), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(files.create_directories(path("plain\\below")));
  EXPECT_EQ(os_code(files.create_directories("")), ERROR_PATH_NOT_FOUND);
  // A drive root is never created, only found.
  EXPECT_THAT(files.create_directories(root_.substr(0, 3)), Succeeds());
}

TEST_F(Files, WriteTruncatesAppendExtendsAndReadGetsEverything) {
  const std::string name = path("data.bin");
  ASSERT_THAT(files.write_file(name, "a longer first content"), Succeeds());
  ASSERT_THAT(files.write_file(name, "ab"), Succeeds());
  ASSERT_THAT(files.append_file(name, "cd"), Succeeds());
  EXPECT_EQ(files.read_file(name), "abcd");

  ASSERT_THAT(files.append_file(path("new.log"), "line\n"), Succeeds());
  EXPECT_EQ(files.read_file(path("new.log")), "line\n");

  // More than one read or write of the layer, with every byte value.
  std::string big(3 * (1u << 20) + 17, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
  ASSERT_THAT(files.write_file(name, big), Succeeds());
  EXPECT_TRUE(files.read_file(name) == big);
  EXPECT_THAT(files.metadata(name), Optional(Field(&FileMeta::size, big.size())));

  ASSERT_THAT(files.write_file(name, ""), Succeeds());
  EXPECT_EQ(files.read_file(name), "");
}

TEST_F(Files, AppendOpensBesideAReaderThatMayDeleteAndDescribesWhatItOpened) {
  const std::string name = path("setup.log");
  ASSERT_THAT(files.write_file(name, "old\n"), Succeeds());
  // Another program holding the file with delete access, as an editor or a
  // log viewer may.
  win32::unique_hfile holder(::CreateFileW(win32::wide(name).c_str(), GENERIC_READ | DELETE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(holder) << ::GetLastError();
  auto file = files.open_append(name);
  ASSERT_THAT(file, Succeeds());
  const auto meta = (*file)->metadata();
  ASSERT_THAT(meta, Succeeds());
  EXPECT_EQ(meta->size, 4u);
  EXPECT_FALSE(meta->is_directory);
  EXPECT_EQ(meta->reparse_tag, 0u);
  ASSERT_THAT((*file)->append("new\n"), Succeeds());
  file->reset();
  char bytes[16] = {};
  DWORD got = 0;
  ASSERT_TRUE(::ReadFile(holder.get(), bytes, sizeof bytes, &got, nullptr));
  EXPECT_EQ(std::string(bytes, got), "old\nnew\n");

  // A missing file is created; a folder is not opened for appending.
  auto created = files.open_append(path("new.log"));
  ASSERT_THAT(created, Succeeds());
  EXPECT_THAT((*created)->metadata(), Optional(Field(&FileMeta::size, 0u)));
  EXPECT_FALSE(files.open_append(root_));
}

TEST_F(Files, NamesAreUnicode) {
  const std::string name = path("grüße-файл ✓.txt");
  ASSERT_THAT(files.write_file(name, "x"), Succeeds());
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(win32::wide(root_)) / L"grüße-файл ✓.txt"));
  EXPECT_EQ(files.read_file(name), "x");
}

TEST_F(Files, RenameOverReplacesTheTarget) {
  ASSERT_THAT(files.write_file(path("x.tmp"), "new"), Succeeds());
  ASSERT_THAT(files.write_file(path("x"), "old content"), Succeeds());
  ASSERT_THAT(files.rename_over(path("x.tmp"), path("x")), Succeeds());
  EXPECT_EQ(files.read_file(path("x")), "new");
  EXPECT_EQ(os_code(files.metadata(path("x.tmp"))), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(os_code(files.rename_over(path("x.tmp"), path("x"))), ERROR_FILE_NOT_FOUND);
}

TEST_F(Files, RemoveAndMissingEntriesGiveTheSystemCodes) {
  ASSERT_THAT(files.write_file(path("gone"), "x"), Succeeds());
  ASSERT_THAT(files.remove_file(path("gone")), Succeeds());
  EXPECT_EQ(os_code(files.remove_file(path("gone"))), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(os_code(files.read_file(path("gone"))), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(os_code(files.metadata(path("gone"))), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(os_code(files.metadata(path("no-dir\\gone"))), ERROR_PATH_NOT_FOUND);
  EXPECT_THAT(files.read_file(path("gone")), FailsWith("(os error 2)"));
}

TEST_F(Files, MetadataDescribesFilesAndFolders) {
  ASSERT_THAT(files.write_file(path("f"), "12345"), Succeeds());
  const auto file = files.metadata(path("f"));
  ASSERT_THAT(file, Succeeds());
  EXPECT_EQ(file->size, 5u);
  EXPECT_FALSE(file->is_directory);
  EXPECT_FALSE(file->is_link);
  EXPECT_NE(file->last_write, 0u);

  const auto folder = files.metadata(root_);
  ASSERT_THAT(folder, Succeeds());
  EXPECT_TRUE(folder->is_directory);
  EXPECT_FALSE(folder->is_link);
  // A folder cannot be read as a file.
  EXPECT_FALSE(files.read_file(root_));
}

// ---------------------------------------------------------------- environment

TEST(Environment, VariablesAreReadAsUtf8AndInvalidUtf16IsAbsent) {
  struct Case {
    const wchar_t* name;
    std::wstring value;
    std::optional<std::string> expected;
  } cases[] = {
      {L"VORN_TEST_PLAIN", L"C:\\ProgramData", "C:\\ProgramData"},
      {L"VORN_TEST_UNICODE", L"D:\\Grüße\\данные ✓", "D:\\Grüße\\данные ✓"},
      // Longer than the first buffer the layer tries.
      {L"VORN_TEST_LONG", std::wstring(5000, L'v'), std::string(5000, 'v')},
      // Present but empty is not absent.
      {L"VORN_TEST_EMPTY", L"", ""},
      {L"VORN_TEST_LONE_SURROGATE", std::wstring(L"a") + wchar_t(0xD800) + L"b", std::nullopt},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(::SetEnvironmentVariableW(c.name, c.value.c_str()));
    EXPECT_EQ(os().environment.variable(win32::narrow(c.name)), c.expected) << win32::narrow(c.name);
    ::SetEnvironmentVariableW(c.name, nullptr);
  }
  EXPECT_EQ(os().environment.variable("VORN_TEST_NEVER_SET"), std::nullopt);
}

TEST(Environment, TempDirIsAnExistingFolderEndingInASeparator) {
  const auto temp = os().environment.temp_dir();
  ASSERT_THAT(temp, Succeeds());
  ASSERT_FALSE(temp->empty());
  EXPECT_TRUE(win32::is_separator(static_cast<wchar_t>(temp->back()))) << *temp;
  EXPECT_THAT(os().files.metadata(*temp), Optional(Field(&FileMeta::is_directory, true)));
}

TEST(Environment, CommandLineStartsWithTheProgram) {
  const auto args = os().environment.command_line();
  ASSERT_FALSE(args.empty());
  EXPECT_THAT(lower(args[0]), EndsWith("win_tests.exe"));
}

// ---------------------------------------------------------------- processes

// The quoting must survive the system's own splitter.
TEST(Processes, QuotedCommandLinesSplitBackIntoTheSameArguments) {
  const std::vector<std::vector<std::string>> cases = {
      {"icacls", "C:\\ProgramData\\Vorn\\helper.token", "/inheritance:r", "/grant:r", "*S-1-5-18:F"},
      {"C:\\Program Files\\Vorn\\vorn-helper.exe", "run"},
      {"p", "", "a b", "\t", "say \"hi\"", "\"", "\\\"", "a\\\\\"b"},
      {"p", "C:\\a b\\", "C:\\dir\\\\", "\\\\server\\share\\", "trailing\\"},
      {"C:\\a b\\", "x"},
      {"p", "grüße данные ✓", "&|<>^%"},
  };
  for (const auto& argv : cases) {
    const std::wstring line = win32::wide(quote_command_line(argv));
    int count = 0;
    wchar_t** split = ::CommandLineToArgvW(line.c_str(), &count);
    win32::unique_hlocal owner(split);
    ASSERT_NE(split, nullptr);
    std::vector<std::string> back;
    for (int i = 0; i < count; ++i) back.push_back(win32::narrow(split[i]));
    EXPECT_EQ(back, argv) << win32::narrow(line);
  }
}

TEST(Processes, RunHiddenCapturesOutputThenErrorsAndTheExitCode) {
  struct Case {
    std::vector<std::string> args;
    std::uint32_t exit_code;
    std::string output;
  } cases[] = {
      {{"/c", "echo hi"}, 0, "hi\r\n"},
      {{"/c", "exit 3"}, 3, ""},
      {{"/c", "echo err 1>&2& echo out"}, 0, "out\r\nerr \r\n"},
      // Standard input is the null device: a read sees its end at once.
      {{"/c", "set /p line=& echo done"}, 0, "done\r\n"},
  };
  for (const auto& c : cases) {
    const auto run = os().processes.run_hidden("cmd", c.args);
    ASSERT_THAT(run, Succeeds()) << c.args.back();
    EXPECT_EQ(run->exit_code, c.exit_code) << c.args.back();
    EXPECT_EQ(run->output, c.output) << c.args.back();
  }
}

TEST(Processes, RunHiddenFindsIcaclsByName) {
  const auto temp = os().environment.temp_dir();
  ASSERT_THAT(temp, Succeeds());
  const std::string file = *temp + "vorn-platform-icacls-" + std::to_string(os().processes.current_pid());
  ASSERT_THAT(os().files.write_file(file, "x"), Succeeds());
  const auto run = os().processes.run_hidden("icacls", {file, "/inheritance:r", "/grant:r", "*S-1-5-18:F", "/grant:r",
                                                        "*S-1-5-32-544:F", "/grant:r", "*S-1-5-4:R"});
  (void)os().files.remove_file(file);
  ASSERT_THAT(run, Succeeds());
  EXPECT_EQ(run->exit_code, 0u);
}

TEST(Processes, RunHiddenOfAMissingProgramFails) {
  const auto run = os().processes.run_hidden("vorn-no-such-program", {"x"});
  EXPECT_EQ(os_code(run), ERROR_FILE_NOT_FOUND);
}

TEST(Processes, ConcurrentRunsKeepTheirOwnOutput) {
  constexpr int RUNS = 8;
  std::vector<Result<CapturedRun>> runs(RUNS, fail("not run"));
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < RUNS; ++i) {
      threads.emplace_back([&runs, i] { runs[i] = os().processes.run_hidden("cmd", {"/c", "echo run" + std::to_string(i)}); });
    }
  }
  for (int i = 0; i < RUNS; ++i) {
    ASSERT_THAT(runs[i], Succeeds());
    EXPECT_EQ(runs[i]->output, "run" + std::to_string(i) + "\r\n");
  }
}

TEST(Processes, ListContainsThisProcess) {
  const auto snapshot = os().processes.snapshot_processes();
  ASSERT_FALSE(snapshot.failure.has_value());
  const auto* list = &snapshot.entries;
  const std::uint32_t pid = os().processes.current_pid();
  EXPECT_EQ(pid, ::GetCurrentProcessId());
  bool found = false;
  for (const auto& entry : *list) {
    if (entry.pid != pid) continue;
    found = true;
    EXPECT_EQ(lower(entry.exe_name), "win_tests.exe");
  }
  EXPECT_TRUE(found);
}

// ---------------------------------------------------------------- service manager

TEST(ServiceManager, DispatcherOutsideTheServiceManagerFailsAsAWinapiError) {
  bool ran = false;
  const auto status = os().services.run_dispatcher("VornPlatformTest", [&] { ran = true; });
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().message(), "IO error in winapi call");
  EXPECT_EQ(cause_code(status), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  EXPECT_EQ(status.error().cause()->cause(), nullptr);
  EXPECT_FALSE(ran);
}

TEST(ServiceManager, RegistrationIsCreatedQueriedAndDeleted) {
  const std::string name = "VornPlatformTest" + std::to_string(os().processes.current_pid());
  const ServiceDefinition definition{
      .name = name,
      .display_name = "Vorn platform test",
      .command_line = "\"C:\\windows\\system32\\cmd.exe\" /c exit",
      .start_type = SERVICE_DEMAND_START,
  };
  ASSERT_THAT(os().services.create_service(definition), Succeeds());
  EXPECT_EQ(cause_code(os().services.create_service(definition)), ERROR_SERVICE_EXISTS);

  const auto status = os().services.query_service(name);
  ASSERT_THAT(status, Succeeds());
  EXPECT_EQ(status->current_state, SERVICE_STATE_STOPPED);
  EXPECT_EQ(status->pid, 0u);
  EXPECT_EQ(cause_code(os().services.stop_service(name)), ERROR_SERVICE_NOT_ACTIVE);

  ASSERT_THAT(os().services.delete_service(name), Succeeds());
  EXPECT_THAT(os().services.query_service(name), FailsWith("IO error in winapi call: "));
  EXPECT_EQ(cause_code(os().services.delete_service(name)), ERROR_SERVICE_DOES_NOT_EXIST);
}

// The other half of the next test: this program, started again by the
// service manager with the arguments below, is the service.
constexpr std::string_view HOSTED_NAME_FLAG = "--vorn-service-name=";
constexpr std::string_view HOSTED_REPORT_FLAG = "--vorn-service-report=";

std::optional<std::string> flag_value(std::string_view flag) {
  for (const auto& arg : os().environment.command_line()) {
    if (arg.starts_with(flag)) return arg.substr(flag.size());
  }
  return std::nullopt;
}

TEST(ServiceHosted, Body) {
  const auto name = flag_value(HOSTED_NAME_FLAG);
  const auto report_path = flag_value(HOSTED_REPORT_FLAG);
  if (!name || !report_path) GTEST_SKIP() << "runs only when the service manager starts this program";
  const auto dispatched = os().services.run_dispatcher(*name, [&] {
    std::string report;
    std::binary_semaphore stop{0};
    const auto registered = os().services.register_control_handler(*name, [&](std::uint32_t control) {
      report += "control " + std::to_string(control) + "\n";
      if (control != SERVICE_CONTROL_STOP) return std::uint32_t{ERROR_CALL_NOT_IMPLEMENTED};
      stop.release();
      return std::uint32_t{NO_ERROR};
    });
    if (!registered) return;
    const auto running = os().services.report_status(
        {.current_state = SERVICE_STATE_RUNNING, .controls_accepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN});
    report += running ? "running\n" : "running failed: " + running.error().full() + "\n";
    stop.acquire();
    // Written before the Stopped report, which lets the test read it.
    (void)os().files.write_file(*report_path, report);
    (void)os().services.report_status({.current_state = SERVICE_STATE_STOPPED,
                                       .win32_exit_code = ERROR_SERVICE_SPECIFIC_ERROR,
                                       .service_specific_exit_code = 1});
  });
  EXPECT_THAT(dispatched, Succeeds());
}

std::string own_path() {
  std::wstring buffer(32768, L'\0');
  buffer.resize(::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size())));
  return win32::narrow(buffer);
}

// Waits, without a time limit of its own, until the service is in `state`.
Result<ServiceProcessStatus> wait_for_state(const std::string& name, std::uint32_t state) {
  for (;;) {
    auto status = os().services.query_service(name);
    if (!status || status->current_state == state) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

TEST(ServiceManager, ServiceRunsUntilStoppedAndReportsItsExitCodes) {
  const std::string name = "VornPlatformHosted" + std::to_string(os().processes.current_pid());
  const auto temp = os().environment.temp_dir();
  ASSERT_THAT(temp, Succeeds());
  const std::string report_path = *temp + name + ".report";
  (void)os().files.remove_file(report_path);
  const ServiceDefinition definition{
      .name = name,
      .display_name = "Vorn platform hosted test",
      .command_line = quote_command_line({own_path(), "--gtest_filter=ServiceHosted.Body",
                                          std::string(HOSTED_NAME_FLAG) + name,
                                          std::string(HOSTED_REPORT_FLAG) + report_path}),
      .start_type = SERVICE_DEMAND_START,
  };
  ASSERT_THAT(os().services.create_service(definition), Succeeds());

  EXPECT_THAT(os().services.start_service(name), Succeeds());
  const auto running = wait_for_state(name, SERVICE_STATE_RUNNING);
  EXPECT_THAT(running, Succeeds());
  if (running) {
    EXPECT_NE(running->pid, 0u);
    const auto snapshot = os().processes.snapshot_processes();
    ASSERT_FALSE(snapshot.failure.has_value());
    EXPECT_THAT(snapshot.entries, Contains(Field(&ProcessEntry::pid, running->pid)));
  }

  EXPECT_THAT(os().services.stop_service(name), Succeeds());
  const auto stopped = wait_for_state(name, SERVICE_STATE_STOPPED);
  EXPECT_THAT(stopped, Succeeds());
  if (stopped) {
    EXPECT_EQ(stopped->win32_exit_code, static_cast<std::uint32_t>(ERROR_SERVICE_SPECIFIC_ERROR));
    EXPECT_EQ(stopped->service_specific_exit_code, 1u);
  }
  EXPECT_EQ(os().files.read_file(report_path), "running\ncontrol 1\n");

  EXPECT_THAT(os().services.delete_service(name), Succeeds());
  (void)os().files.remove_file(report_path);
}

// ---------------------------------------------------------------- pipes

using namespace asio::experimental::awaitable_operators;

constexpr char CONTROL_SDDL[] = "D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;IU)";

PipeInstanceParams params(std::uint32_t max_instances = PIPE_UNLIMITED_INSTANCES) {
  return PipeInstanceParams{
      .open_mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
      .pipe_mode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      .max_instances = max_instances,
      .out_buffer_bytes = 65536,
      .in_buffer_bytes = 65536,
      .default_timeout_ms = 0,
  };
}

std::string unique_pipe_name() {
  static std::atomic<int> counter{0};
  return "\\\\.\\pipe\\vorn-platform-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
         std::to_string(counter++);
}

// A blocking client end, as the desktop client opens it.
win32::unique_hfile connect_client(const std::string& name) {
  return win32::unique_hfile(::CreateFileW(win32::wide(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
}

void client_write(HANDLE client, std::string_view bytes) {
  DWORD written = 0;
  EXPECT_TRUE(::WriteFile(client, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  EXPECT_EQ(written, bytes.size());
}

std::string client_read_line(HANDLE client) {
  std::string line;
  char c = 0;
  DWORD got = 0;
  while (::ReadFile(client, &c, 1, &got, nullptr) && got == 1) {
    line += c;
    if (c == '\n') break;
  }
  return line;
}

asio::awaitable<std::string> server_read_line(PipeInstance& pipe) {
  std::string line;
  char buffer[8192];
  for (;;) {
    const auto got = co_await pipe.read_some(buffer);
    EXPECT_THAT(got, Succeeds());
    if (!got || *got == 0) co_return line;
    line.append(buffer, *got);
    if (line.find('\n') != std::string::npos) co_return line;
  }
}

asio::awaitable<void> server_write(PipeInstance& pipe, std::string_view bytes) {
  while (!bytes.empty()) {
    const auto written = co_await pipe.write_some(bytes);
    EXPECT_THAT(written, Succeeds());
    if (!written || *written == 0) co_return;
    bytes.remove_prefix(*written);
  }
}

class Pipes : public ::testing::Test {
 protected:
  void SetUp() override {
    auto built = os().pipes.security_descriptor(CONTROL_SDDL);
    ASSERT_THAT(built, Succeeds());
    security_ = std::move(*built);
  }

  std::unique_ptr<PipeInstance> listen(const std::string& name) {
    auto instance = os().pipes.create_instance(io_.get_executor(), name, params(), *security_);
    EXPECT_THAT(instance, Succeeds());
    return instance ? std::move(*instance) : nullptr;
  }

  // Runs `body` as the only coroutine and fails the test on an exception.
  template <class Body>
  void run(Body body) {
    asio::co_spawn(io_, std::move(body), [](std::exception_ptr e) { EXPECT_FALSE(e) << "the coroutine threw"; });
    io_.run();
  }

  asio::io_context io_;
  std::unique_ptr<PipeSecurity> security_;
};

TEST_F(Pipes, SecurityDescriptorBuildsFromTheControlListAndRefusesGarbage) {
  EXPECT_THAT(os().pipes.security_descriptor("D:(A;;GA;;;SY)"), Succeeds());
  const auto garbage = os().pipes.security_descriptor("D:(this is not SDDL");
  EXPECT_THAT(garbage, FailsWith("helper: could not build the pipe security descriptor (error "));
  EXPECT_THAT(garbage, FailsWith(" (os error "));
}

// A client that connected before the wait (ERROR_PIPE_CONNECTED) and one that
// connects while the wait is pending are both served.
TEST_F(Pipes, LineIsEchoedWhetherTheClientCameBeforeOrDuringTheWait) {
  for (const bool client_first : {true, false}) {
    SCOPED_TRACE(client_first ? "client first" : "wait first");
    io_.restart();
    const std::string name = unique_pipe_name();
    auto server = listen(name);
    ASSERT_NE(server, nullptr);
    std::string echoed;
    std::jthread client_thread;
    auto start_client = [&] {
      auto client = connect_client(name);
      EXPECT_TRUE(client);
      client_thread = std::jthread([&echoed, client = std::move(client)] {
        client_write(client.get(), "hello pipe\n");
        echoed = client_read_line(client.get());
      });
    };
    if (client_first) start_client();
    asio::co_spawn(io_, [&]() -> asio::awaitable<void> {
      EXPECT_THAT(co_await server->wait_for_client(), Succeeds());
      const std::string line = co_await server_read_line(*server);
      co_await server_write(*server, line);
      // The client closes its end after reading the reply.
      EXPECT_EQ(co_await server_read_line(*server), "");
      server->close();
    }, asio::detached);
    if (!client_first) asio::post(io_, start_client);
    io_.run();
    client_thread.join();
    EXPECT_EQ(echoed, "hello pipe\n");
  }
}

// ERROR_NO_DATA: the client came and went before the wait.
TEST_F(Pipes, ClientThatAlreadyLeftCountsAsConnectedAndReadsTheEnd) {
  const std::string name = unique_pipe_name();
  auto server = listen(name);
  ASSERT_NE(server, nullptr);
  ASSERT_TRUE(connect_client(name));
  run([&]() -> asio::awaitable<void> {
    EXPECT_THAT(co_await server->wait_for_client(), Succeeds());
    char buffer[16];
    EXPECT_EQ(co_await server->read_some(buffer), std::size_t{0});
    EXPECT_FALSE(co_await server->write_some(std::string_view("late\n")));
    server->close();
  });
}

// A coroutine selection drops the losing read; the bytes that arrive later
// are still there for the next read.
TEST_F(Pipes, DroppedReadIsCancelledAndTheInstanceStaysUsable) {
  const std::string name = unique_pipe_name();
  auto server = listen(name);
  ASSERT_NE(server, nullptr);
  auto client = connect_client(name);
  ASSERT_TRUE(client);
  run([&]() -> asio::awaitable<void> {
    EXPECT_THAT(co_await server->wait_for_client(), Succeeds());
    char buffer[16];
    asio::steady_timer timer(io_, std::chrono::milliseconds(100));
    const auto first = co_await (server->read_some(buffer) || timer.async_wait(asio::use_awaitable));
    EXPECT_EQ(first.index(), 1u);
    client_write(client.get(), "after\n");
    EXPECT_EQ(co_await server_read_line(*server), "after\n");
    server->close();
  });
}

TEST_F(Pipes, DroppedWaitForAClientIsCancelled) {
  auto server = listen(unique_pipe_name());
  ASSERT_NE(server, nullptr);
  run([&]() -> asio::awaitable<void> {
    asio::steady_timer timer(io_, std::chrono::milliseconds(100));
    const auto first = co_await (server->wait_for_client() || timer.async_wait(asio::use_awaitable));
    EXPECT_EQ(first.index(), 1u);
    server->close();
  });
}

// A stop may land after the server decided to listen but before the connect
// is issued: the wait must then fail at once, not listen for ever. A cancel
// after close must not reach whatever the closed handle's value names next.
TEST_F(Pipes, ACancelBeforeTheWaitEndsTheWaitAtOnce) {
  auto server = listen(unique_pipe_name());
  ASSERT_NE(server, nullptr);
  server->cancel_io();
  bool finished = false;
  asio::co_spawn(io_, [&]() -> asio::awaitable<void> {
    EXPECT_FALSE(co_await server->wait_for_client());
    finished = true;
    server->close();
    server->cancel_io();
  }, asio::detached);
  io_.run_for(std::chrono::seconds(5));
  EXPECT_TRUE(finished);
}

TEST_F(Pipes, InstanceBeyondTheLimitIsRefusedWithTheSystemError) {
  const std::string name = unique_pipe_name();
  auto first = os().pipes.create_instance(io_.get_executor(), name, params(1), *security_);
  ASSERT_THAT(first, Succeeds());
  const auto second = os().pipes.create_instance(io_.get_executor(), name, params(1), *security_);
  EXPECT_EQ(os_code(second), ERROR_PIPE_BUSY);
}

}  // namespace
}  // namespace vorn::platform
