// Sends one request to the helper's control pipe as the desktop client would
// and prints the reply line.
//
// usage: vorn-pipe-client TOKEN_FILE ping|status|disconnect
//        vorn-pipe-client TOKEN_FILE request REQUEST_FILE   (the request object as JSON text)
//        vorn-pipe-client TOKEN_FILE logs SINCE
#include <cctype>
#include <cstdio>
#include <string>

#include "platform/win32/windows_support.hpp"

namespace {

std::string read_token(const std::wstring& path) {
  vorn::win32::unique_hfile file(
      ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  std::string token;
  char buffer[256];
  DWORD got = 0;
  while (file && ::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) token.append(buffer, got);
  while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back()))) token.pop_back();
  return token;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fputs("usage: vorn-pipe-client TOKEN_FILE ping|status|disconnect|logs SINCE\n", stderr);
    return 2;
  }
  const std::string cmd = vorn::win32::narrow(argv[2]);
  std::string request = "{\"cmd\":\"" + cmd + "\"";
  if (cmd == "logs") request += ",\"since\":" + (argc > 3 ? vorn::win32::narrow(argv[3]) : std::string("0"));
  request += "}";
  // Any request, read from a file, for the requests that carry paths,
  // configurations or authorities.
  if (cmd == "request" && argc > 3) {
    request = read_token(argv[3]);
    std::erase(request, '\n');
    std::erase(request, '\r');
  }
  const std::string line = "{\"token\":\"" + read_token(argv[1]) + "\",\"request\":" + request + "}\n";

  HANDLE pipe = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && pipe == INVALID_HANDLE_VALUE; ++attempt) {
    pipe = ::CreateFileW(L"\\\\.\\pipe\\vorn-helper", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) ::WaitNamedPipeW(L"\\\\.\\pipe\\vorn-helper", 100);
  }
  vorn::win32::unique_hfile owner(pipe);
  if (!owner) {
    std::fprintf(stderr, "cannot open the helper's pipe: %s\n", vorn::win32::last_error().full().c_str());
    return 1;
  }
  DWORD wrote = 0;
  if (!::WriteFile(pipe, line.data(), static_cast<DWORD>(line.size()), &wrote, nullptr)) return 1;
  std::string reply;
  char buffer[8192];
  DWORD got = 0;
  while (::ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) reply.append(buffer, got);
  std::fwrite(reply.data(), 1, reply.size(), stdout);
  return reply.empty() ? 1 : 0;
}
