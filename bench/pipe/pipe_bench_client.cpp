// Ping round trips per second against a control pipe server from N client
// threads, each connecting, sending one ping line, reading the reply to the
// server's close and checking it, for a fixed time.
//
// usage: vorn-pipe-bench PIPE_NAME TOKEN_FILE CLIENTS SECONDS
// prints: clients=N seconds=S round_trips=R failures=F (connect=.. write=.. reply=..)
//         last_connect_error=E rate=X
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/win32/windows_support.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view PONG_REPLY = "{\"status\":\"ok\",\"data\":{\"pong\":true,\"version\":\"0.12.12\"}}\n";
// A bound on each thread's loop besides the time, far above what a pipe
// server reaches.
constexpr std::uint64_t MAX_ROUND_TRIPS_PER_CLIENT = 10'000'000;
constexpr DWORD BUSY_WAIT_MS = 1000;

struct Counts {
  std::uint64_t round_trips = 0;
  std::uint64_t connect_failures = 0;
  std::uint64_t write_failures = 0;
  std::uint64_t reply_failures = 0;
  DWORD last_connect_error = 0;
};

std::string read_token(const wchar_t* path) {
  vorn::win32::unique_hfile file(
      ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  std::string token;
  char buffer[256];
  DWORD got = 0;
  while (file && ::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) token.append(buffer, got);
  while (!token.empty() && (token.back() == '\n' || token.back() == '\r' || token.back() == ' ')) token.pop_back();
  return token;
}

// A busy pipe (every instance taken) is waited for until the deadline, which
// ends the run rather than failing a round trip; any other failure to open
// fails one, and its error code is kept for the report.
std::optional<vorn::win32::unique_hfile> open_pipe(const wchar_t* name, Clock::time_point deadline, DWORD& error) {
  while (Clock::now() < deadline) {
    HANDLE pipe = ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) return vorn::win32::unique_hfile(pipe);
    error = ::GetLastError();
    if (error != ERROR_PIPE_BUSY) return vorn::win32::unique_hfile();
    ::WaitNamedPipeW(name, BUSY_WAIT_MS);
  }
  return std::nullopt;
}

void run_client(const wchar_t* name, std::string_view line, Clock::time_point deadline, Counts& counts) {
  std::string reply;
  char buffer[8192];
  while (counts.round_trips < MAX_ROUND_TRIPS_PER_CLIENT && Clock::now() < deadline) {
    DWORD error = 0;
    auto opened = open_pipe(name, deadline, error);
    if (!opened) break;
    vorn::win32::unique_hfile pipe = std::move(*opened);
    if (!pipe) {
      ++counts.connect_failures;
      counts.last_connect_error = error;
      continue;
    }
    DWORD wrote = 0;
    if (!::WriteFile(pipe.get(), line.data(), static_cast<DWORD>(line.size()), &wrote, nullptr) ||
        wrote != line.size()) {
      ++counts.write_failures;
      continue;
    }
    reply.clear();
    DWORD got = 0;
    while (::ReadFile(pipe.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) reply.append(buffer, got);
    if (reply == PONG_REPLY) {
      ++counts.round_trips;
    } else {
      ++counts.reply_failures;
    }
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 5) {
    std::fputs("usage: vorn-pipe-bench PIPE_NAME TOKEN_FILE CLIENTS SECONDS\n", stderr);
    return 2;
  }
  const wchar_t* name = argv[1];
  const std::string token = read_token(argv[2]);
  const long clients = std::wcstol(argv[3], nullptr, 10);
  const double seconds = std::wcstod(argv[4], nullptr);
  if (token.empty() || clients < 1 || clients > 256 || !(seconds > 0 && seconds <= 600)) {
    std::fputs("vorn-pipe-bench: need a token file that is not empty, 1 to 256 clients and 0 to 600 seconds\n",
               stderr);
    return 2;
  }
  const std::string line = "{\"token\":\"" + token + "\",\"request\":{\"cmd\":\"ping\"}}\n";

  std::vector<Counts> counts(static_cast<std::size_t>(clients));
  std::vector<std::thread> threads;
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  for (auto& c : counts) threads.emplace_back(run_client, name, std::string_view(line), deadline, std::ref(c));
  for (auto& t : threads) t.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

  Counts total;
  for (const auto& c : counts) {
    if (c.last_connect_error != 0) total.last_connect_error = c.last_connect_error;
    total.round_trips += c.round_trips;
    total.connect_failures += c.connect_failures;
    total.write_failures += c.write_failures;
    total.reply_failures += c.reply_failures;
  }
  const std::uint64_t failures = total.connect_failures + total.write_failures + total.reply_failures;
  std::printf("clients=%ld seconds=%.2f round_trips=%llu failures=%llu (connect=%llu write=%llu reply=%llu) "
              "last_connect_error=%lu rate=%.1f\n",
              clients, elapsed, static_cast<unsigned long long>(total.round_trips),
              static_cast<unsigned long long>(failures), static_cast<unsigned long long>(total.connect_failures),
              static_cast<unsigned long long>(total.write_failures),
              static_cast<unsigned long long>(total.reply_failures), total.last_connect_error,
              static_cast<double>(total.round_trips) / elapsed);
  return total.round_trips > 0 ? 0 : 1;
}
