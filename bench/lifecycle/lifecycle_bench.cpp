// Times the core lifecycle through the helper's control pipe, and the plain
// work each figure is compared with, all in one process so that process
// starts do not weigh on the figures.
//
// usage: vorn-lifecycle-bench baseline CORE CONFIG FOLDER ROUNDS
//          read + SHA-256 of CORE, and one spawn of it as "run -c CONFIG" in FOLDER
//        vorn-lifecycle-bench rate TOKEN_FILE REQUEST_FILE SECONDS
//          sequential round trips of one request
//        vorn-lifecycle-bench cycle TOKEN_FILE CONNECT_FILE CYCLES SECONDS
//          connect, status, disconnect_owned, until CYCLES or SECONDS
//        vorn-lifecycle-bench pump TOKEN_FILE CONNECT_FILE BYTES LINES
//          connect a core that floods BYTES in LINES lines and exits; time until the log ring holds them
//        vorn-lifecycle-bench plain-pump CORE CONFIG FOLDER [READ_SIZE]
//          the same core's flood read from a plain anonymous pipe, 64 KiB (or READ_SIZE) at a time
//        vorn-lifecycle-bench ask TOKEN_FILE REQUEST_FILE
//          one request; prints the reply
//        vorn-lifecycle-bench handles EXE_NAME
//          handle count of the process of that name
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/win32/windows_support.hpp"
#include "support/json.hpp"
#include "support/sha256.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using vorn::Json;
const wchar_t* const PIPE = L"\\\\.\\pipe\\vorn-helper";

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string read_all(const std::wstring& path) {
  vorn::win32::unique_hfile file(
      ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  std::string bytes;
  std::vector<char> buffer(1 << 20);
  DWORD got = 0;
  while (file && ::ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got > 0) {
    bytes.append(buffer.data(), got);
  }
  return bytes;
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text;
}

std::string ask(const std::string& token, const std::string& request) {
  const std::string line = "{\"token\":\"" + token + "\",\"request\":" + request + "}\n";
  HANDLE pipe = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && pipe == INVALID_HANDLE_VALUE; ++attempt) {
    pipe = ::CreateFileW(PIPE, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) ::WaitNamedPipeW(PIPE, 100);
  }
  vorn::win32::unique_hfile owner(pipe);
  if (!owner) return {};
  DWORD wrote = 0;
  if (!::WriteFile(pipe, line.data(), static_cast<DWORD>(line.size()), &wrote, nullptr)) return {};
  std::string reply;
  char buffer[8192];
  DWORD got = 0;
  while (::ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) reply.append(buffer, got);
  return reply;
}

Json parsed(const std::string& reply) {
  Json value = Json::parse(reply, nullptr, false);
  return value.is_object() ? value : Json::object();
}

bool ok(const Json& reply) { return reply.value("status", std::string()) == "ok"; }

struct Spread {
  double median = 0, low = 0, high = 0;
};

Spread spread(std::vector<double> values) {
  if (values.empty()) return {};
  std::sort(values.begin(), values.end());
  return {values[values.size() / 2], values.front(), values.back()};
}

// Started like the helper starts the core: piped output, no window.
struct Spawned {
  vorn::win32::unique_handle process;
  vorn::win32::unique_hfile output;
};

Spawned spawn(const std::wstring& core, const std::wstring& config, const std::wstring& folder) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  ::CreatePipe(&read_end, &write_end, &inherit, 0);
  ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  vorn::win32::unique_hfile reader(read_end), writer(write_end);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writer.get();
  startup.hStdError = writer.get();
  startup.hStdInput = nullptr;
  std::wstring command = L"\"" + core + L"\" run -c \"" + config + L"\"";
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(core.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        folder.c_str(), &startup, &info)) {
    return {};
  }
  ::CloseHandle(info.hThread);
  return {vorn::win32::unique_handle(info.hProcess), std::move(reader)};
}

void drain(HANDLE output) {
  std::vector<char> buffer(1 << 16);
  DWORD got = 0;
  while (::ReadFile(output, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got > 0) {
  }
}

int baseline(const std::wstring& core, const std::wstring& config, const std::wstring& folder, int rounds) {
  std::vector<double> read_ms, hash_ms, spawn_ms;
  for (int i = 0; i < rounds; ++i) {
    auto start = Clock::now();
    const std::string bytes = read_all(core);
    read_ms.push_back(ms_since(start));
    start = Clock::now();
    auto digest = vorn::sha256(bytes);
    hash_ms.push_back(ms_since(start));
    if (!digest || bytes.empty()) return 1;
    start = Clock::now();
    Spawned child = spawn(core, config, folder);
    spawn_ms.push_back(ms_since(start));
    if (!child.process) return 1;
    drain(child.output.get());
    ::WaitForSingleObject(child.process.get(), 30000);
  }
  const auto r = spread(read_ms), h = spread(hash_ms), s = spread(spawn_ms);
  std::printf("read_ms=%.1f sha256_ms=%.1f spawn_ms=%.1f baseline_ms=%.1f (one read, one SHA-256 pass, one spawn)\n",
              r.median, h.median, s.median, h.median + s.median);
  return 0;
}

int rate(const std::string& token, const std::string& request, double seconds) {
  std::uint64_t trips = 0, failures = 0;
  const auto start = Clock::now();
  while (ms_since(start) < seconds * 1000) {
    if (ok(parsed(ask(token, request)))) {
      ++trips;
    } else {
      ++failures;
    }
  }
  const double elapsed = ms_since(start) / 1000;
  std::printf("round_trips=%llu failures=%llu rate=%.1f mean_ms=%.3f\n", static_cast<unsigned long long>(trips),
              static_cast<unsigned long long>(failures), trips / elapsed, trips ? elapsed * 1000 / trips : 0.0);
  return trips > 0 ? 0 : 1;
}

int cycle(const std::string& token, const std::string& connect, long cycles, double seconds) {
  std::vector<double> connect_ms, disconnect_ms;
  long failures = 0;
  std::string last_failure;
  const auto start = Clock::now();
  for (long i = 0; i < cycles && ms_since(start) < seconds * 1000; ++i) {
    auto t = Clock::now();
    const Json connected = parsed(ask(token, connect));
    connect_ms.push_back(ms_since(t));
    if (!ok(connected)) {
      ++failures;
      last_failure = connected.dump();
    }
    const Json status = parsed(ask(token, "{\"cmd\":\"status\"}"));
    const Json authority = status.contains("data") ? status["data"].value("stop_authority", Json()) : Json();
    t = Clock::now();
    const Json stopped =
        parsed(ask(token, Json{{"cmd", "disconnect_owned"}, {"authority", authority}}.dump()));
    disconnect_ms.push_back(ms_since(t));
    if (!ok(stopped)) {
      ++failures;
      last_failure = stopped.dump();
    }
  }
  const auto c = spread(connect_ms), d = spread(disconnect_ms);
  std::printf("cycles=%zu seconds=%.1f failures=%ld connect_ms=%.1f (%.1f..%.1f) disconnect_owned_ms=%.1f (%.1f..%.1f)\n",
              connect_ms.size(), ms_since(start) / 1000, failures, c.median, c.low, c.high, d.median, d.low, d.high);
  if (!last_failure.empty()) std::printf("last_failure=%s\n", last_failure.c_str());
  return failures == 0 ? 0 : 1;
}

// The log ring's cursor: the number of lines ever pushed. A "logs" request
// with the largest cursor reads no line and only learns it.
std::uint64_t log_cursor(const std::string& token) {
  const Json reply = parsed(ask(token, "{\"cmd\":\"logs\",\"since\":18446744073709551615}"));
  return reply.contains("data") ? reply["data"].value("next", std::uint64_t{0}) : 0;
}

// Timed from the connect's reply to the moment the log ring holds as many new
// lines as the flood has: the pumps' own work, without the exit watcher's
// period. The core is spawned near the connect's end, so the few lines pumped
// before the reply count as if pumped at once, and the connect's own dozen log
// lines count as flood lines; both flatter by far less than a percent.
int pump(const std::string& token, const std::string& connect, double bytes, std::uint64_t lines) {
  const std::uint64_t before = log_cursor(token);
  const Json connected = parsed(ask(token, connect));
  const auto start = Clock::now();
  if (!ok(connected)) {
    std::printf("connect failed: %s\n", connected.dump().c_str());
    return 1;
  }
  for (;;) {
    const std::uint64_t now = log_cursor(token);
    if (now >= before && now - before >= lines) break;
    if (lines == 0 || ms_since(start) > 120000) {
      std::printf("the log ring never held %llu new lines\n", static_cast<unsigned long long>(lines));
      return 1;
    }
    ::Sleep(5);
  }
  const double elapsed = ms_since(start) / 1000;
  std::printf("seconds=%.2f lines=%llu lines_per_s=%.0f MB_per_s=%.1f\n", elapsed,
              static_cast<unsigned long long>(lines), static_cast<double>(lines) / elapsed, bytes / elapsed / 1e6);
  // The run ends before the next figure starts.
  for (int i = 0; i < 3000; ++i) {
    const Json status = parsed(ask(token, "{\"cmd\":\"status\"}"));
    if (status.contains("data") && !status["data"].value("running", true)) break;
    ::Sleep(20);
  }
  return 0;
}

int plain_pump(const std::wstring& core, const std::wstring& config, const std::wstring& folder, std::size_t read_size) {
  Spawned child = spawn(core, config, folder);
  if (!child.process) return 1;
  // From the spawn's return, as the helper's figure runs from the connect's.
  const auto start = Clock::now();
  // Splits lines as a pump must, so the baseline is not a bare copy.
  std::vector<char> buffer(read_size);
  std::uint64_t lines = 0, bytes = 0;
  DWORD got = 0;
  while (::ReadFile(child.output.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got > 0) {
    bytes += got;
    lines += static_cast<std::uint64_t>(std::count(buffer.data(), buffer.data() + got, '\n'));
  }
  ::WaitForSingleObject(child.process.get(), 30000);
  const double elapsed = ms_since(start) / 1000;
  std::printf("seconds=%.2f lines=%llu lines_per_s=%.0f MB_per_s=%.1f\n", elapsed,
              static_cast<unsigned long long>(lines), lines / elapsed, bytes / elapsed / 1e6);
  return 0;
}

int handles(const std::wstring& name) {
  vorn::win32::unique_hfile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
    if (_wcsicmp(entry.szExeFile, name.c_str()) != 0) continue;
    vorn::win32::unique_handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
    DWORD count = 0;
    // Wine answers with success and a count of 0; that is no figure.
    if (process && ::GetProcessHandleCount(process.get(), &count) && count > 0) {
      std::printf("pid=%lu handles=%lu\n", entry.th32ProcessID, count);
      return 0;
    }
    std::printf("pid=%lu handles=unavailable error=%lu\n", entry.th32ProcessID, ::GetLastError());
    return 0;
  }
  std::printf("handles=no-process\n");
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  auto token = [&] { return trimmed(read_all(argv[2])); };
  if (mode == L"baseline" && argc == 6) return baseline(argv[2], argv[3], argv[4], std::wcstol(argv[5], nullptr, 10));
  if (mode == L"rate" && argc == 5) return rate(token(), trimmed(read_all(argv[3])), std::wcstod(argv[4], nullptr));
  if (mode == L"cycle" && argc == 6) {
    return cycle(token(), trimmed(read_all(argv[3])), std::wcstol(argv[4], nullptr, 10), std::wcstod(argv[5], nullptr));
  }
  if (mode == L"pump" && argc == 6) {
    return pump(token(), trimmed(read_all(argv[3])), std::wcstod(argv[4], nullptr), std::wcstoull(argv[5], nullptr, 10));
  }
  if (mode == L"plain-pump" && (argc == 5 || argc == 6)) {
    return plain_pump(argv[2], argv[3], argv[4], argc == 6 ? std::wcstoul(argv[5], nullptr, 10) : 1 << 16);
  }
  if (mode == L"ask" && argc == 4) {
    const std::string reply = ask(token(), trimmed(read_all(argv[3])));
    std::fwrite(reply.data(), 1, reply.size(), stdout);
    return reply.empty() ? 1 : 0;
  }
  if (mode == L"handles" && argc == 3) return handles(argv[2]);
  std::fputs("usage: see the comment at the top of lifecycle_bench.cpp\n", stderr);
  return 2;
}
