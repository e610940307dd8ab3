// The installer's modes through the real vorn-helper.exe and Wine's service
// manager, and the stop confirmation through the real Win32 layer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "helper_process.hpp"
#include "helper_service/service_stop.hpp"
#include "helper_service/setup_modes.hpp"
#include "platform/win32/system.hpp"

namespace vorn::wintest {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr const wchar_t* kService = L"VornHelper";

win32::unique_schandle open_helper_service() {
  win32::unique_schandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!scm) return {};
  return win32::unique_schandle(::OpenServiceW(scm.get(), kService, SERVICE_ALL_ACCESS));
}

std::wstring configured_command(SC_HANDLE service) {
  std::vector<std::uint64_t> buffer(1024);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  DWORD needed = 0;
  if (!::QueryServiceConfigW(service, config, 8192, &needed)) return L"";
  return config->lpBinaryPathName;
}

// A demand-start registration of `executable` with "run", started and Running.
win32::unique_schandle register_and_start(const std::wstring& executable) {
  win32::unique_schandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  const std::wstring command = L"\"" + executable + L"\" run";
  win32::unique_schandle service(::CreateServiceW(scm.get(), kService, L"Vorn Tunnel Helper", SERVICE_ALL_ACCESS,
                                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                                  command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) return {};
  if (!::StartServiceW(service.get(), 0, nullptr) || !wait_for_service_state(service.get(), SERVICE_RUNNING, std::chrono::seconds(60))) return {};
  return service;
}

// Processes whose executable is named like the helper's.
std::vector<DWORD> helper_processes() {
  std::vector<DWORD> pids;
  auto snapshot = platform::win32_processes().snapshot_processes();
  for (const auto& entry : snapshot.entries) {
    if (_stricmp(entry.exe_name.c_str(), "vorn-helper.exe") == 0) pids.push_back(entry.pid);
  }
  return pids;
}

struct SetupRun {
  DWORD exit_code = 0xFFFFFFFF;
  std::string log;  // the setup log after the run
};

// One setup mode of the real executable, with its own trusted store and
// temporary folder.
class SetupSandbox {
 public:
  SetupSandbox() : root_(make_temp_folder(L"vorn-setup-")) {
    ::CreateDirectoryW(temp().c_str(), nullptr);
    ::CreateDirectoryW(program_data().c_str(), nullptr);
  }
  std::wstring temp() const { return root_ + L"\\tmp"; }
  std::wstring program_data() const { return root_ + L"\\pd"; }
  std::string record() const { return read_text_file(program_data() + L"\\Vorn\\helper.sha256"); }

  SetupRun run(const std::wstring& args, const std::wstring& executable = helper_exe()) const {
    std::wstring block;
    wchar_t* env = ::GetEnvironmentStringsW();
    for (const wchar_t* p = env; *p != 0; p += wcslen(p) + 1) {
      if (_wcsnicmp(p, L"ProgramData=", 12) != 0 && _wcsnicmp(p, L"TMP=", 4) != 0 && _wcsnicmp(p, L"TEMP=", 5) != 0) {
        block.append(p).push_back(L'\0');
      }
    }
    ::FreeEnvironmentStringsW(env);
    for (const std::wstring& entry : {L"ProgramData=" + program_data(), L"TMP=" + temp(), L"TEMP=" + temp()}) {
      block.append(entry).push_back(L'\0');
    }
    block.push_back(L'\0');
    std::wstring command = L"\"" + executable + L"\" " + args;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    SetupRun result;
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW,
                          block.data(), nullptr, &si, &pi)) {
      return result;
    }
    win32::unique_handle process(pi.hProcess);
    win32::unique_handle thread(pi.hThread);
    if (::WaitForSingleObject(process.get(), 240000) == WAIT_OBJECT_0) ::GetExitCodeProcess(process.get(), &result.exit_code);
    result.log = read_text_file(temp() + L"\\vorn-setup.log");
    return result;
  }

 private:
  std::wstring root_;
};

TEST(ServiceStop, StopsARunningHelperAndProvesItsProcessGone) {
  ServiceRegistrationGuard guard;
  auto service = register_and_start(helper_exe());
  ASSERT_TRUE(service) << ::GetLastError();
  const DWORD pid = query_service_status(service.get()).dwProcessId;
  ASSERT_NE(pid, 0u);
  EXPECT_THAT(helper_processes(), ::testing::Contains(pid));

  auto& os = platform::win32_platform();
  auto database = os.services.open_database(UPGRADE_MANAGER_ACCESS);
  ASSERT_TRUE(database) << database.error().full();
  auto handle = (*database)->open_service("VornHelper", UPGRADE_SERVICE_ACCESS);
  ASSERT_TRUE(handle) << handle.error().full();

  const auto configured = configured_service_executable(os.environment, **handle);
  ASSERT_TRUE(configured) << configured.error().full();
  EXPECT_EQ(*configured, win32::narrow(helper_exe()));

  const Status stopped = stop_service_confirmed(default_setup_context(os), **handle, false);
  EXPECT_TRUE(stopped) << stopped.error().full();
  EXPECT_EQ(query_service_status(service.get()).dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_THAT(helper_processes(), Not(::testing::Contains(pid)));

  // Stopped already: proven again without a stop control.
  EXPECT_TRUE(stop_service_confirmed(default_setup_context(os), **handle, false));
}

TEST(SetupModes, RepairLeavesAnotherInstallationsServiceAlone) {
  ServiceRegistrationGuard guard;
  SetupSandbox sandbox;
  // The same program under another path is another installation.
  const std::wstring other = sandbox.program_data() + L"\\other-vorn-helper.exe";
  ASSERT_TRUE(::CopyFileW(helper_exe().c_str(), other.c_str(), FALSE));
  auto service = register_and_start(other);
  ASSERT_TRUE(service) << ::GetLastError();
  const DWORD pid = query_service_status(service.get()).dwProcessId;

  const SetupRun repair = sandbox.run(L"repair");
  EXPECT_EQ(repair.exit_code, 1u);
  EXPECT_THAT(repair.log,
              HasSubstr(" vorn-helper repair: failed code=1: helper repair: configured service belongs to another "
                        "installation\n"));
  // Nothing stopped, nothing changed, nothing recorded.
  const auto status = query_service_status(service.get());
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(status.dwProcessId, pid);
  EXPECT_EQ(configured_command(service.get()), L"\"" + other + L"\" run");
  EXPECT_EQ(sandbox.record(), "");
}

TEST(SetupModes, InstallRepairUpgradeAndUninstallEndToEnd) {
  ServiceRegistrationGuard guard;
  SetupSandbox sandbox;
  // Quoted only when the path needs it.
  const std::wstring expected_command = win32::wide(helper_registration(win32::narrow(helper_exe())).binary_path);

  const SetupRun install = sandbox.run(L"install");
  EXPECT_EQ(install.exit_code, 0u);
  EXPECT_THAT(install.log, HasSubstr(" vorn-helper install: ok\n"));
  EXPECT_EQ(std::ranges::count(sandbox.record(), '\n'), 1);
  EXPECT_THAT(sandbox.record(), ::testing::StartsWith("sha256="));
  {
    auto service = open_helper_service();
    ASSERT_TRUE(service);
    EXPECT_EQ(query_service_status(service.get()).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    std::vector<std::uint64_t> buffer(1024);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    DWORD needed = 0;
    ASSERT_TRUE(::QueryServiceConfigW(service.get(), config, 8192, &needed));
    EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(std::wstring(config->lpBinaryPathName), expected_command);
    EXPECT_EQ(std::wstring(config->lpDisplayName), L"Vorn Tunnel Helper");
  }

  // Over its own registration: stopped, proven, reconfigured and started.
  const SetupRun again = sandbox.run(L"install");
  EXPECT_EQ(again.exit_code, 0u);
  const SetupRun repair = sandbox.run(L"repair");
  EXPECT_EQ(repair.exit_code, 0u);
  EXPECT_THAT(repair.log, HasSubstr(" vorn-helper repair: ok\n"));
  EXPECT_EQ(std::ranges::count(sandbox.record(), '\n'), 1);  // the same image, once

  const SetupRun upgrade = sandbox.run(L"prepare-upgrade");
  EXPECT_EQ(upgrade.exit_code, 0u);
  EXPECT_THAT(upgrade.log, HasSubstr(" vorn-helper prepare-upgrade: ok\n"));
  {
    auto service = open_helper_service();
    ASSERT_TRUE(service);
    EXPECT_EQ(query_service_status(service.get()).dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  }
  EXPECT_TRUE(helper_processes().empty());

  const SetupRun uninstall = sandbox.run(L"uninstall");
  EXPECT_EQ(uninstall.exit_code, 0u);
  EXPECT_THAT(uninstall.log, HasSubstr(" vorn-helper uninstall: ok\n"));
  EXPECT_FALSE(open_helper_service());
  EXPECT_TRUE(helper_processes().empty());

  const SetupRun nothing = sandbox.run(L"uninstall");
  EXPECT_EQ(nothing.exit_code, 0u);
}

TEST(SetupModes, TheOutcomeLineReachesALogThatAnotherProgramHoldsWithDeleteAccess) {
  ServiceRegistrationGuard guard;
  SetupSandbox sandbox;
  const std::wstring log = sandbox.temp() + L"\\vorn-setup.log";
  win32::unique_hfile holder(::CreateFileW(log.c_str(), GENERIC_READ | DELETE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(holder) << ::GetLastError();
  const SetupRun uninstall = sandbox.run(L"uninstall");
  EXPECT_EQ(uninstall.exit_code, 0u);
  // Read through the holder: it alone has the file open now.
  std::string text(4096, '\0');
  DWORD got = 0;
  ASSERT_TRUE(::ReadFile(holder.get(), text.data(), static_cast<DWORD>(text.size()), &got, nullptr));
  text.resize(got);
  EXPECT_THAT(text, HasSubstr(" vorn-helper uninstall: ok\n"));
}

}  // namespace
}  // namespace vorn::wintest
