// The service host under Wine's Service Control Manager, and the entry's
// answers at a prompt.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "helper_process.hpp"
#include "platform/win32/system.hpp"

namespace vorn::wintest {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// A file of `bytes` zero bytes, made without writing them.
std::wstring large_file(const std::wstring& folder, std::int64_t bytes) {
  const std::wstring path = folder + L"\\large.bin";
  win32::unique_hfile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  LARGE_INTEGER size{};
  size.QuadPart = bytes;
  EXPECT_TRUE(file && ::SetFilePointerEx(file.get(), size, nullptr, FILE_BEGIN) && ::SetEndOfFile(file.get()));
  return path;
}

std::string json_text(const std::wstring& path) {
  std::string out;
  for (char c : win32::narrow(path)) {
    if (c == '\\') out += '\\';
    out += c;
  }
  return out;
}

TEST(ServiceHost, StartsServesAndStopsUnderTheServiceManager) {
  ServiceRegistrationGuard cleanup;
  win32::unique_schandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_TRUE(scm);
  win32::unique_schandle service = create_demand_service(scm.get(), helper_exe());
  ASSERT_TRUE(service) << ::GetLastError();
  ASSERT_TRUE(::StartServiceW(service.get(), 0, nullptr)) << ::GetLastError();
  ASSERT_TRUE(wait_for_service_state(service.get(), SERVICE_RUNNING, std::chrono::seconds(60)));

  // The service's store is under the ProgramData folder of the service
  // manager's environment, which under Wine is not always this process's.
  auto service_token = [] {
    for (const wchar_t* variable : {L"ProgramData", L"ALLUSERSPROFILE", L"PUBLIC"}) {
      wchar_t folder[MAX_PATH];
      if (::GetEnvironmentVariableW(variable, folder, MAX_PATH) == 0) continue;
      std::string token = read_text_file(std::wstring(folder) + L"\\Vorn\\helper.token");
      if (!token.empty()) return token;
    }
    return read_text_file(L"C:\\ProgramData\\Vorn\\helper.token");
  };
  std::string reply;
  for (int i = 0; i < 100 && reply.find("pong") == std::string::npos; ++i) {
    if (::WaitNamedPipeW(L"\\\\.\\pipe\\vorn-helper", 200)) reply = round_trip(ping_line(service_token()));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(reply, "{\"status\":\"ok\",\"data\":{\"pong\":true,\"version\":\"0.12.12\"}}\n");

  // A request that reached the helper before the Stop is answered while the
  // final cleanup runs: provisioning from a large file holds the operation
  // lock for seconds, so the cleanup waits for it.
  const std::wstring source = large_file(make_temp_folder(L"vorn-stop-"), 300ll * 1024 * 1024);
  auto client = PipeClient::connect();
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->send(request_line(service_token(), R"({"cmd":"provision_core","core_src":")" + json_text(source) +
                                                            R"(","wintun_src":")" + json_text(source) + R"("})")));
  std::string in_flight_reply;
  std::thread reader([&] { in_flight_reply = client->read_all(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  SERVICE_STATUS stop{};
  ASSERT_TRUE(::ControlService(service.get(), SERVICE_CONTROL_STOP, &stop)) << ::GetLastError();
  // Once the server is gone, nobody can open the pipe.
  bool gone = false;
  for (int i = 0; i < 300 && !gone; ++i) {
    win32::unique_hfile late(::CreateFileW(L"\\\\.\\pipe\\vorn-helper", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
    gone = !late && ::GetLastError() == ERROR_FILE_NOT_FOUND;
    if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(gone);
  ASSERT_TRUE(wait_for_service_state(service.get(), SERVICE_STOPPED, std::chrono::seconds(60)));
  reader.join();
  // Any reply will do: the stand-in bytes do not match the pins.
  EXPECT_THAT(in_flight_reply, StartsWith("{\"status\":\"error\",\"message\":\"helper: core hash mismatch"));
  EXPECT_TRUE(in_flight_reply.ends_with("\n"));
  ::DeleteFileW(source.c_str());
  const SERVICE_STATUS_PROCESS stopped = query_service_status(service.get());
  // Nothing was owned, so the owned cleanup at stop succeeds.
  EXPECT_EQ(stopped.dwWin32ExitCode, 0u);
  EXPECT_EQ(stopped.dwServiceSpecificExitCode, 0u);
}

// The console host whose pipe name another process already holds ends with
// its server's error and exit code 0.
TEST(Entry, AConsoleHostWhosePipeNameIsHeldEndsWithExitZero) {
  const std::wstring store = make_temp_folder(L"vorn-held-");
  ::SetEnvironmentVariableW(L"ProgramData", store.c_str());
  // One instance at most: a second server instance of the name is refused.
  win32::unique_hfile holder(::CreateNamedPipeW(L"\\\\.\\pipe\\vorn-helper", PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1,
                                                4096, 4096, 0, nullptr));
  ASSERT_TRUE(holder) << ::GetLastError();
  auto run = platform::win32_processes().run_hidden(win32::narrow(helper_exe()), {"console"});
  holder.reset();
  ::SetEnvironmentVariableW(L"ProgramData", nullptr);
  ASSERT_TRUE(run.has_value()) << run.error().full();
  EXPECT_EQ(run->exit_code, 0u);
  EXPECT_THAT(run->output, StartsWith("[vorn-helper] console mode, listening on \\\\.\\pipe\\vorn-helper\n"));
  EXPECT_THAT(run->output, HasSubstr("[vorn-helper] pipe server error: "));
}

TEST(Entry, AtAPromptRunFailsAndUnknownModesExitTwo) {
  auto& processes = platform::win32_processes();
  auto unknown = processes.run_hidden(win32::narrow(helper_exe()), {"Run"});
  ASSERT_TRUE(unknown.has_value()) << unknown.error().full();
  EXPECT_EQ(unknown->exit_code, 2u);
  EXPECT_THAT(unknown->output, HasSubstr("vorn-helper: unknown mode 'Run'"));
  EXPECT_THAT(unknown->output, HasSubstr("usage: vorn-helper [prepare-upgrade|install|repair|uninstall|run|console]"));
  // Standard error is written in binary mode: lines end with a bare LF.
  EXPECT_EQ(unknown->output.find('\r'), std::string::npos);
  EXPECT_TRUE(unknown->output.ends_with("\n"));

  auto at_prompt = processes.run_hidden(win32::narrow(helper_exe()), {"run"});
  ASSERT_TRUE(at_prompt.has_value()) << at_prompt.error().full();
  EXPECT_EQ(at_prompt->exit_code, 1u);
  EXPECT_THAT(at_prompt->output, HasSubstr("vorn-helper: run failed: IO error in winapi call: "));
  EXPECT_THAT(at_prompt->output, HasSubstr("(os error 1063)"));
}

}  // namespace
}  // namespace vorn::wintest
