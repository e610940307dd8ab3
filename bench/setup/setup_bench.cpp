// Times each setup mode of vorn-helper.exe from process start to exit, beside
// the service manager alone doing the same registration, start or stop, and
// beside a bare start of the executable (a mode word it refuses at once). The
// difference is what the modes' proofs cost: the process inventory, the
// confirmed waits, the owned cleanup and the image record.
//
// usage: vorn-setup-bench.exe HELPER_EXE ROUNDS
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/windows_support.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using vorn::win32::unique_handle;
using vorn::win32::unique_schandle;

constexpr const wchar_t* kService = L"VornHelper";

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

DWORD state_of(SC_HANDLE service) {
  SERVICE_STATUS status{};
  return ::QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

// Polled like the modes poll: a status query every 10 ms.
bool wait_state(SC_HANDLE service, DWORD state) {
  const auto deadline = Clock::now() + std::chrono::seconds(90);
  while (Clock::now() < deadline) {
    if (state_of(service) == state) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

unique_schandle manager() { return unique_schandle(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)); }

unique_schandle open_service() { return unique_schandle(::OpenServiceW(manager().get(), kService, SERVICE_ALL_ACCESS)); }

std::wstring command_of(const std::wstring& exe) { return L"\"" + exe + L"\" run"; }

unique_schandle create(const std::wstring& exe) {
  return unique_schandle(::CreateServiceW(manager().get(), kService, L"Vorn Tunnel Helper", SERVICE_ALL_ACCESS,
                                          SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                          command_of(exe).c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
}

void stop(SC_HANDLE service) {
  SERVICE_STATUS status{};
  ::ControlService(service, SERVICE_CONTROL_STOP, &status);
  wait_state(service, SERVICE_STOPPED);
}

// Leaves no registration behind, whatever state it is in.
void remove_registration() {
  unique_schandle service = open_service();
  if (!service) return;
  stop(service.get());
  ::DeleteService(service.get());
}

// A registration of the helper, Running.
bool running_registration(const std::wstring& exe) {
  remove_registration();
  unique_schandle service = create(exe);
  return service && ::StartServiceW(service.get(), 0, nullptr) && wait_state(service.get(), SERVICE_RUNNING);
}

struct Timed {
  double ms = 0;
  DWORD exit = 0;
};

Timed run_helper(const std::wstring& exe, const std::wstring& args) {
  std::wstring line = L"\"" + exe + L"\" " + args;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  Timed timed{0, 0xFFFFFFFF};
  const auto start = Clock::now();
  if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
    return timed;
  }
  unique_handle process(pi.hProcess);
  unique_handle thread(pi.hThread);
  ::WaitForSingleObject(process.get(), INFINITE);
  timed.ms = ms_since(start);
  ::GetExitCodeProcess(process.get(), &timed.exit);
  return timed;
}

struct Row {
  const char* mode;
  const char* baseline;
  std::vector<double> helper, alone, launch;
  std::vector<DWORD> exits;
};

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: vorn-setup-bench HELPER_EXE ROUNDS\n");
    return 2;
  }
  const std::wstring exe = argv[1];
  const int rounds = std::max(1, _wtoi(argv[2]));
  Row rows[] = {
      {"install (none registered)", "create + start + Running", {}, {}, {}, {}},
      {"repair (own, Running)", "stop + Stopped + reconfigure + start + Running", {}, {}, {}, {}},
      {"prepare-upgrade (Running)", "stop + Stopped", {}, {}, {}, {}},
      {"uninstall (Running)", "stop + Stopped + delete", {}, {}, {}, {}},
  };

  for (int round = 0; round < rounds; ++round) {
    for (Row& row : rows) row.launch.push_back(run_helper(exe, L"bench-launch-only").ms);

    // The service manager alone.
    remove_registration();
    auto start = Clock::now();
    {
      unique_schandle service = create(exe);
      ::StartServiceW(service.get(), 0, nullptr);
      wait_state(service.get(), SERVICE_RUNNING);
    }
    rows[0].alone.push_back(ms_since(start));
    {
      unique_schandle service = open_service();
      start = Clock::now();
      stop(service.get());
      ::ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                             command_of(exe).c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
      ::StartServiceW(service.get(), 0, nullptr);
      wait_state(service.get(), SERVICE_RUNNING);
      rows[1].alone.push_back(ms_since(start));
      start = Clock::now();
      stop(service.get());
      rows[2].alone.push_back(ms_since(start));
      ::StartServiceW(service.get(), 0, nullptr);
      wait_state(service.get(), SERVICE_RUNNING);
      start = Clock::now();
      stop(service.get());
      ::DeleteService(service.get());
    }
    rows[3].alone.push_back(ms_since(start));

    // The helper's modes, each from the same starting state.
    remove_registration();
    Timed t = run_helper(exe, L"install");
    rows[0].helper.push_back(t.ms);
    rows[0].exits.push_back(t.exit);
    const char* modes[] = {"repair", "prepare-upgrade", "uninstall"};
    for (int i = 0; i < 3; ++i) {
      running_registration(exe);
      std::wstring word(modes[i], modes[i] + std::char_traits<char>::length(modes[i]));
      t = run_helper(exe, word);
      rows[i + 1].helper.push_back(t.ms);
      rows[i + 1].exits.push_back(t.exit);
    }
    remove_registration();
  }

  std::printf("median of %d rounds, milliseconds\n", rounds);
  std::printf("%-27s %10s %8s %14s %10s  %s\n", "mode", "helper", "exit", "manager alone", "launch", "manager alone does");
  for (const Row& row : rows) {
    std::string exits;
    for (DWORD e : row.exits) {
      if (!exits.empty()) exits += ',';
      exits += std::to_string(e);
    }
    std::printf("%-27s %10.1f %8s %14.1f %10.1f  %s\n", row.mode, median(row.helper), exits.c_str(), median(row.alone),
                median(row.launch), row.baseline);
  }
  return 0;
}
