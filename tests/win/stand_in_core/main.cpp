// A stand-in for the proxy core in the Windows tests, never shipped. Started
// as "run -c CONFIG", it reads that configuration and does what the test put
// under the top-level key "stand_in":
//
//   "stand_in": {"launches": [BEHAVIOUR, ...]}
//
// The n-th start in a folder (counted in "stand-in-launches" in its working
// folder) takes entry n, the last entry once they run out. A BEHAVIOUR:
//   "stdout", "stderr": lists of lines, each written with CR LF
//   "flood_bytes": that many bytes of output lines on standard output
//   "flood_line_end": false to write the flood without any line end
//   "exit_after_ms": wait this long after the output (default 0)
//   "exit_code": exit with this code after the wait; absent: run until stopped
//   "ignore_ctrl_break": true to survive Ctrl-Break
//   "holder_ms": first start a process that inherits the standard output
//     and error and keeps them open this long after the stand-in has gone
// Every start also writes "stand-in-seen.json" into its working folder: its
// arguments, folder and the legacy DNS variable, for the test to check.
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/windows_support.hpp"
#include "support/json.hpp"

namespace {

using vorn::Json;

// Kept free of the helper's libraries so that the stand-in is relinked only
// when this file changes: its digest is a pin of the test-pins helper.
std::string narrow(std::wstring_view text) {
  if (text.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::string read_file(const std::wstring& path) {
  vorn::win32::unique_hfile file(
      ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  std::string bytes;
  char buffer[4096];
  DWORD got = 0;
  while (file && ::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  return bytes;
}

void write_file(const std::wstring& path, const std::string& bytes) {
  vorn::win32::unique_hfile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD put = 0;
  if (file) ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
}

void write_all(HANDLE out, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD put = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
    if (!::WriteFile(out, bytes.data() + done, want, &put, nullptr)) return;
    done += put;
  }
}

std::wstring current_folder() {
  wchar_t folder[MAX_PATH];
  const DWORD n = ::GetCurrentDirectoryW(MAX_PATH, folder);
  return std::wstring(folder, n);
}

// How many times the stand-in has started in this folder before.
std::size_t count_launch(const std::wstring& folder) {
  const std::wstring path = folder + L"\\stand-in-launches";
  std::size_t before = 0;
  try {
    const std::string text = read_file(path);
    if (!text.empty()) before = std::stoul(text);
  } catch (...) {
  }
  write_file(path, std::to_string(before + 1));
  return before;
}

BOOL WINAPI survive_ctrl(DWORD) { return TRUE; }

// A copy of the stand-in started as "hold MS": it only sleeps, with the
// stand-in's standard handles.
void start_holder(std::uint32_t ms) {
  wchar_t self[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring line = L"\"" + std::wstring(self, n) + L"\" hold " + std::to_wstring(ms);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info{};
  if (::CreateProcessW(self, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"hold") {
    ::Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
    return 0;
  }
  if (argc != 4 || std::wstring(argv[1]) != L"run" || std::wstring(argv[2]) != L"-c") {
    std::fputs("usage: stand-in-core run -c CONFIG\n", stderr);
    return 2;
  }
  const std::wstring folder = current_folder();
  wchar_t dns[16] = {};
  const DWORD dns_length = ::GetEnvironmentVariableW(L"ENABLE_DEPRECATED_LEGACY_DNS_SERVERS", dns, 16);
  Json seen = {{"args", Json::array()}, {"folder", narrow(folder)}, {"dns_variable", narrow(std::wstring(dns, dns_length))}};
  for (int i = 1; i < argc; ++i) seen["args"].push_back(narrow(argv[i]));
  write_file(folder + L"\\stand-in-seen.json", seen.dump());

  const Json config = Json::parse(read_file(argv[3]), nullptr, false);
  if (config.is_discarded() || !config.is_object()) {
    std::fputs("FATAL stand-in: configuration unreadable\n", stderr);
    return 3;
  }
  const std::size_t launch = count_launch(folder);
  Json behaviour = Json::object();
  if (auto it = config.find("stand_in"); it != config.end() && it->contains("launches")) {
    const Json& launches = (*it)["launches"];
    if (!launches.empty()) behaviour = launches[std::min(launch, launches.size() - 1)];
  }

  if (behaviour.value("ignore_ctrl_break", false)) ::SetConsoleCtrlHandler(survive_ctrl, TRUE);
  if (const auto hold = behaviour.value("holder_ms", 0u); hold > 0) start_holder(hold);

  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  for (const auto& line : behaviour.value("stdout", Json::array())) write_all(out, line.get<std::string>() + "\r\n");
  for (const auto& line : behaviour.value("stderr", Json::array())) write_all(err, line.get<std::string>() + "\r\n");
  if (const std::uint64_t flood = behaviour.value("flood_bytes", std::uint64_t{0}); flood > 0) {
    const bool line_end = behaviour.value("flood_line_end", true);
    std::string block(1 << 16, 'x');
    if (line_end) {
      for (std::size_t i = 99; i < block.size(); i += 100) block[i] = '\n';
    }
    for (std::uint64_t sent = 0; sent < flood; sent += block.size()) {
      write_all(out, block.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), flood - sent))));
    }
  }

  ::Sleep(behaviour.value("exit_after_ms", 0u));
  if (auto code = behaviour.find("exit_code"); code != behaviour.end()) {
    ::ExitProcess(code->get<std::uint32_t>());
  }
  for (;;) ::Sleep(1000);
}
