// Starts the built vorn-helper.exe for Wine tests and talks to its pipe as the
// desktop client would.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "platform/win32/windows_support.hpp"

namespace vorn::wintest {

// The folder of the running test program.
std::wstring own_folder();

// build/windows/vorn-helper.exe, beside the tests folder.
std::wstring helper_exe();

// A program at the top of the Windows build tree, beside vorn-helper.exe.
std::wstring built_exe(const std::wstring& name);
// build/windows/vorn-helper-testpins.exe: the helper whose pins are the
// digests of the stand-in core and the stand-in Wintun file below.
std::wstring testpins_helper_exe();
// The stand-in core and Wintun library whose digests are the pins of
// vorn-helper-testpins (scripts/build.sh copies them beside the tests).
std::wstring stand_in_core_exe();
std::wstring stand_in_wintun_file();

// A fresh folder under the system's temporary folder.
std::wstring make_temp_folder(const std::wstring& prefix);

// A console host with its trusted store under `program_data`.
class ConsoleHelper {
 public:
  explicit ConsoleHelper(const std::wstring& program_data);
  // The console host's process id.
  DWORD pid() const { return ::GetProcessId(process_.get()); }
  // Another build of the helper, such as vorn-helper-testpins.exe.
  ConsoleHelper(const std::wstring& program_data, const std::wstring& exe);
  ~ConsoleHelper();
  bool running() const;
  std::string token() const;  // read from the store
  std::wstring store_file(const std::wstring& name) const;

 private:
  std::wstring program_data_;
  win32::unique_handle process_;
};

// One client connection; closed with the object.
class PipeClient {
 public:
  // Waits up to `patience` for an instance to be free.
  static std::optional<PipeClient> connect(std::chrono::milliseconds patience = std::chrono::seconds(10));
  bool send(const std::string& bytes);
  // Reads until the server closes its end; nullopt when the read fails
  // before any byte.
  std::string read_all();
  HANDLE handle() const { return handle_.get(); }

 private:
  explicit PipeClient(HANDLE h) : handle_(h) {}
  win32::unique_hfile handle_;
};

// One request, one reply line.
std::string round_trip(const std::string& request_line);

std::string ping_line(const std::string& token);

// One request line with `request` (a JSON object text) under "request".
std::string request_line(const std::string& token, const std::string& request);

std::string read_text_file(const std::wstring& path);

// Stops and deletes the "VornHelper" registration when made and when it goes:
// one left behind would start again in later sessions of this prefix and hold
// the pipe name.
struct ServiceRegistrationGuard {
  ServiceRegistrationGuard() { remove(); }
  ~ServiceRegistrationGuard() { remove(); }
  ServiceRegistrationGuard(const ServiceRegistrationGuard&) = delete;
  ServiceRegistrationGuard& operator=(const ServiceRegistrationGuard&) = delete;
  static void remove();
};

SERVICE_STATUS_PROCESS query_service_status(SC_HANDLE service);

// Registers "VornHelper" to run `exe` with "run", started on demand only, so
// that a registration that survived a crashed run never starts by itself.
// Null on failure, with the system's last error kept.
win32::unique_schandle create_demand_service(SC_HANDLE scm, const std::wstring& exe);

// Polls every 100 ms until the service reports `state` or `limit` passes.
bool wait_for_service_state(SC_HANDLE service, DWORD state, std::chrono::seconds limit);

}  // namespace vorn::wintest
