#include "helper_process.hpp"

#include <thread>
#include <vector>

namespace vorn::wintest {

std::wstring own_folder() {
  std::vector<wchar_t> buffer(32768);
  const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  std::wstring path(buffer.data(), n);
  return path.substr(0, path.find_last_of(L"\\/"));
}

std::wstring helper_exe() { return built_exe(L"vorn-helper.exe"); }

std::wstring built_exe(const std::wstring& name) {
  const std::wstring tests = own_folder();
  return tests.substr(0, tests.find_last_of(L"\\/")) + L"\\" + name;
}

std::wstring testpins_helper_exe() { return built_exe(L"vorn-helper-testpins.exe"); }

std::wstring stand_in_core_exe() { return own_folder() + L"\\standin-core.exe"; }

std::wstring stand_in_wintun_file() { return own_folder() + L"\\standin-wintun.dll"; }

std::wstring make_temp_folder(const std::wstring& prefix) {
  wchar_t temp[MAX_PATH + 1];
  ::GetTempPathW(MAX_PATH + 1, temp);
  for (unsigned n = ::GetTickCount();; ++n) {
    std::wstring folder = std::wstring(temp) + prefix + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(n);
    if (::CreateDirectoryW(folder.c_str(), nullptr)) return folder;
  }
}

ConsoleHelper::ConsoleHelper(const std::wstring& program_data) : ConsoleHelper(program_data, helper_exe()) {}

ConsoleHelper::ConsoleHelper(const std::wstring& program_data, const std::wstring& exe) : program_data_(program_data) {
  // The child gets this process's environment with ProgramData replaced.
  std::wstring block;
  wchar_t* env = ::GetEnvironmentStringsW();
  for (const wchar_t* p = env; *p != 0; p += wcslen(p) + 1) {
    if (_wcsnicmp(p, L"ProgramData=", 12) != 0) block.append(p).push_back(L'\0');
  }
  ::FreeEnvironmentStringsW(env);
  block.append(L"ProgramData=" + program_data).push_back(L'\0');
  block.push_back(L'\0');

  std::wstring command = L"\"" + exe + L"\" console";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW,
                       block.data(), nullptr, &si, &pi)) {
    ::CloseHandle(pi.hThread);
    process_.reset(pi.hProcess);
  }
  // Ready once a client can open the pipe.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (running() && std::chrono::steady_clock::now() < deadline) {
    if (::WaitNamedPipeW(L"\\\\.\\pipe\\vorn-helper", 100)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

ConsoleHelper::~ConsoleHelper() {
  if (process_) {
    ::TerminateProcess(process_.get(), 0);
    ::WaitForSingleObject(process_.get(), 10000);
  }
}

bool ConsoleHelper::running() const { return process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }

std::wstring ConsoleHelper::store_file(const std::wstring& name) const { return program_data_ + L"\\Vorn\\" + name; }

std::string ConsoleHelper::token() const { return read_text_file(store_file(L"helper.token")); }

std::string read_text_file(const std::wstring& path) {
  win32::unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
  std::string out;
  if (!file) return out;
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) out.append(buffer, got);
  return out;
}

std::optional<PipeClient> PipeClient::connect(std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  for (;;) {
    HANDLE h = ::CreateFileW(L"\\\\.\\pipe\\vorn-helper", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) return PipeClient(h);
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    ::WaitNamedPipeW(L"\\\\.\\pipe\\vorn-helper", 100);
  }
}

bool PipeClient::send(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD wrote = 0;
    const DWORD slice = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 65536));
    if (!::WriteFile(handle_.get(), bytes.data() + done, slice, &wrote, nullptr) || wrote == 0) return false;
    done += wrote;
  }
  return true;
}

std::string PipeClient::read_all() {
  std::string out;
  char buffer[8192];
  DWORD got = 0;
  while (::ReadFile(handle_.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) out.append(buffer, got);
  return out;
}

std::string round_trip(const std::string& request_line) {
  auto client = PipeClient::connect();
  if (!client || !client->send(request_line)) return "<no connection>";
  return client->read_all();
}

std::string ping_line(const std::string& token) {
  return R"({"token":")" + token + R"(","request":{"cmd":"ping"}})" "\n";
}

std::string request_line(const std::string& token, const std::string& request) {
  return R"({"token":")" + token + R"(","request":)" + request + "}\n";
}

void ServiceRegistrationGuard::remove() {
  win32::unique_schandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!scm) return;
  win32::unique_schandle service(::OpenServiceW(scm.get(), L"VornHelper", SERVICE_STOP | DELETE | SERVICE_QUERY_STATUS));
  if (!service) return;
  SERVICE_STATUS status{};
  ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
  wait_for_service_state(service.get(), SERVICE_STOPPED, std::chrono::seconds(30));
  ::DeleteService(service.get());
}

SERVICE_STATUS_PROCESS query_service_status(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
  return status;
}

win32::unique_schandle create_demand_service(SC_HANDLE scm, const std::wstring& exe) {
  const std::wstring command = L"\"" + exe + L"\" run";
  return win32::unique_schandle(::CreateServiceW(scm, L"VornHelper", L"Vorn Tunnel Helper", SERVICE_ALL_ACCESS,
                                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                                 command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
}

bool wait_for_service_state(SC_HANDLE service, DWORD state, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (query_service_status(service).dwCurrentState == state) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

}  // namespace vorn::wintest
