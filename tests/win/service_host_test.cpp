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

  SERVICE_STATUS stop{};
  ASSERT_TRUE(::ControlService(service.get(), SERVICE_CONTROL_STOP, &stop)) << ::GetLastError();
  ASSERT_TRUE(wait_for_service_state(service.get(), SERVICE_STOPPED, std::chrono::seconds(30)));
  const SERVICE_STATUS_PROCESS stopped = query_service_status(service.get());
  // Nothing was owned, so the owned cleanup at stop succeeds.
  EXPECT_EQ(stopped.dwWin32ExitCode, 0u);
  EXPECT_EQ(stopped.dwServiceSpecificExitCode, 0u);
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
