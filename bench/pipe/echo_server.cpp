// The pipe benchmark's reference: the least a server with the helper's pipe
// parameters can do per connection. Overlapped I/O on one completion port
// served by a few threads; one request line per connection, answered with the
// fixed pong line, then the handle is closed. One instance always listens.
// It serves for a bounded time and then ends by itself.
//
// usage: vorn-pipe-echo PIPE_NAME [SECONDS]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/win32/windows_support.hpp"

namespace {

constexpr std::string_view PONG_REPLY = "{\"status\":\"ok\",\"data\":{\"pong\":true,\"version\":\"0.12.12\"}}\n";
constexpr const wchar_t* PIPE_SDDL = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;IU)";
constexpr DWORD PIPE_BUFFER_BYTES = 65536;
constexpr DWORD READ_CHUNK_BYTES = 8192;
constexpr unsigned WORKER_THREADS = 4;
constexpr ULONG_PTR STOP_KEY = 1;
constexpr double DEFAULT_SECONDS = 300;

enum class Step { connect, read, write };

// One pipe instance from its creation to its close; its OVERLAPPED comes
// first so a completion packet leads back to it.
struct Connection {
  OVERLAPPED overlapped{};
  HANDLE pipe = INVALID_HANDLE_VALUE;
  Step step = Step::connect;
  char buffer[READ_CHUNK_BYTES];
};

struct Server {
  HANDLE port = nullptr;
  const wchar_t* name = nullptr;
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "vorn-pipe-echo: %s: %s\n", what, vorn::win32::last_error().full().c_str());
  std::exit(1);
}

void finish(Connection* c) {
  ::CloseHandle(c->pipe);
  delete c;
}

// A pipe server that cannot listen any more has nothing left to measure.
void listen(Server& server) {
  auto* c = new Connection;
  c->pipe = ::CreateNamedPipeW(server.name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                               PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                               PIPE_UNLIMITED_INSTANCES, PIPE_BUFFER_BYTES, PIPE_BUFFER_BYTES, 0, &server.attributes);
  if (c->pipe == INVALID_HANDLE_VALUE) die("CreateNamedPipeW");
  if (::CreateIoCompletionPort(c->pipe, server.port, 0, 0) == nullptr) die("CreateIoCompletionPort");
  if (::ConnectNamedPipe(c->pipe, &c->overlapped)) return;
  const DWORD error = ::GetLastError();
  if (error == ERROR_IO_PENDING) return;
  // A client that came before the call queues no packet: post one.
  if (error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA) {
    if (!::PostQueuedCompletionStatus(server.port, 0, 0, &c->overlapped)) die("PostQueuedCompletionStatus");
    return;
  }
  die("ConnectNamedPipe");
}

void start_read(Connection* c) {
  c->step = Step::read;
  c->overlapped = OVERLAPPED{};
  if (!::ReadFile(c->pipe, c->buffer, READ_CHUNK_BYTES, nullptr, &c->overlapped) &&
      ::GetLastError() != ERROR_IO_PENDING) {
    finish(c);
  }
}

void start_write(Connection* c) {
  c->step = Step::write;
  c->overlapped = OVERLAPPED{};
  if (!::WriteFile(c->pipe, PONG_REPLY.data(), static_cast<DWORD>(PONG_REPLY.size()), nullptr, &c->overlapped) &&
      ::GetLastError() != ERROR_IO_PENDING) {
    finish(c);
  }
}

void serve(Server& server) {
  for (;;) {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    const BOOL ok = ::GetQueuedCompletionStatus(server.port, &bytes, &key, &overlapped, INFINITE);
    if (overlapped == nullptr) {
      if (key == STOP_KEY) return;
      die("GetQueuedCompletionStatus");
    }
    auto* c = reinterpret_cast<Connection*>(overlapped);
    switch (c->step) {
      case Step::connect:
        // The next client must find an instance before this one is served.
        listen(server);
        if (ok) {
          start_read(c);
        } else {
          finish(c);
        }
        break;
      case Step::read:
        if (!ok || bytes == 0) {
          finish(c);
        } else if (std::memchr(c->buffer, '\n', bytes) != nullptr) {
          start_write(c);
        } else {
          start_read(c);
        }
        break;
      case Step::write:
        finish(c);
        break;
    }
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2 || argc > 3) {
    std::fputs("usage: vorn-pipe-echo PIPE_NAME [SECONDS]\n", stderr);
    return 2;
  }
  const double seconds = argc == 3 ? std::wcstod(argv[2], nullptr) : DEFAULT_SECONDS;
  if (!(seconds > 0 && seconds <= 3600)) {
    std::fputs("vorn-pipe-echo: SECONDS must be above 0 and at most 3600\n", stderr);
    return 2;
  }

  Server server;
  server.name = argv[1];
  vorn::win32::unique_hlocal descriptor;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(PIPE_SDDL, SDDL_REVISION_1, descriptor.put(), nullptr)) {
    die("ConvertStringSecurityDescriptorToSecurityDescriptorW");
  }
  server.attributes.lpSecurityDescriptor = descriptor.get();
  vorn::win32::unique_handle port(::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, WORKER_THREADS));
  if (!port) die("CreateIoCompletionPort");
  server.port = port.get();

  listen(server);
  std::vector<std::thread> workers;
  for (unsigned i = 0; i < WORKER_THREADS; ++i) workers.emplace_back(serve, std::ref(server));
  std::printf("vorn-pipe-echo: listening on %s for %.0f s\n", vorn::win32::narrow(server.name).c_str(), seconds);
  std::fflush(stdout);

  ::Sleep(static_cast<DWORD>(seconds * 1000));
  for (unsigned i = 0; i < WORKER_THREADS; ++i) ::PostQueuedCompletionStatus(server.port, 0, STOP_KEY, nullptr);
  for (auto& w : workers) w.join();
  return 0;
}
