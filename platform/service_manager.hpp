// The Service Control Manager: the dispatcher and status reports of the
// service host, and the registration calls of the setup modes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "support/error.hpp"

namespace vorn::platform {

inline constexpr std::uint32_t SERVICE_STATE_STOPPED = 1;
inline constexpr std::uint32_t SERVICE_STATE_RUNNING = 4;

// Access rights and codes of the registration calls, as the system defines
// them.
inline constexpr std::uint32_t SC_ACCESS_CONNECT = 0x0001;
inline constexpr std::uint32_t SC_ACCESS_CREATE_SERVICE = 0x0002;
inline constexpr std::uint32_t SERVICE_ACCESS_QUERY_CONFIG = 0x0001;
inline constexpr std::uint32_t SERVICE_ACCESS_CHANGE_CONFIG = 0x0002;
inline constexpr std::uint32_t SERVICE_ACCESS_QUERY_STATUS = 0x0004;
inline constexpr std::uint32_t SERVICE_ACCESS_START = 0x0010;
inline constexpr std::uint32_t SERVICE_ACCESS_STOP = 0x0020;
inline constexpr std::uint32_t SERVICE_ACCESS_DELETE = 0x00010000;
inline constexpr std::uint32_t ERROR_CODE_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr std::uint32_t ERROR_CODE_SERVICE_SPECIFIC = 1066;
inline constexpr std::uint32_t SERVICE_TYPE_OWN_PROCESS = 0x10;

struct ServiceStatusReport {
  std::uint32_t service_type = 0x10;
  std::uint32_t current_state = 0;
  std::uint32_t controls_accepted = 0;
  std::uint32_t win32_exit_code = 0;
  std::uint32_t service_specific_exit_code = 0;
  std::uint32_t check_point = 0;
  std::uint32_t wait_hint = 0;
};

struct ServiceProcessStatus {
  std::uint32_t current_state = 0;
  std::uint32_t win32_exit_code = 0;
  std::uint32_t service_specific_exit_code = 0;
  std::uint32_t pid = 0;
};

struct ServiceDefinition {
  std::string name;
  std::string display_name;
  std::string command_line;  // executable path and arguments, already quoted
  std::uint32_t start_type = 2;  // automatic
};

// QueryServiceConfigW's fields as the system returned them; the numbers are
// not checked here.
struct ServiceConfig {
  std::uint32_t service_type = 0;
  std::uint32_t start_type = 0;
  std::uint32_t error_control = 0;
  std::string binary_path;  // the whole configured command line
};

// What CreateServiceW and ChangeServiceConfigW are given. The load-order
// group, tag, dependencies, account and password are always null: a new
// service gets none and the local system account, an existing one keeps its
// own.
struct ServiceRegistration {
  std::string name;
  std::string display_name;
  std::string binary_path;
  std::uint32_t service_type = SERVICE_TYPE_OWN_PROCESS;
  std::uint32_t start_type = 2;     // automatic
  std::uint32_t error_control = 1;  // normal
};

// An open service handle, closed when the object goes. A failed call keeps the
// system's code as the cause of "IO error in winapi call".
class Service {
 public:
  virtual ~Service() = default;
  // QueryServiceStatusEx; the state is passed on unchecked.
  virtual Result<ServiceProcessStatus> query_status() = 0;
  // QueryServiceConfigW with one buffer of 8,192 bytes.
  virtual Result<ServiceConfig> query_config() = 0;
  virtual Status control_stop() = 0;
  virtual Status change_config(const ServiceRegistration& registration) = 0;
  virtual Status set_description(const std::string& description) = 0;
  virtual Status start() = 0;
  // DeleteService.
  virtual Status remove() = 0;
};

// An open Service Control Manager database, closed when the object goes.
class ServiceDatabase {
 public:
  virtual ~ServiceDatabase() = default;
  virtual Result<std::unique_ptr<Service>> open_service(const std::string& name, std::uint32_t access) = 0;
  virtual Result<std::unique_ptr<Service>> create_service(const ServiceRegistration& registration,
                                                          std::uint32_t access) = 0;
};

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;

  // Blocks the calling thread in the dispatcher; `service_main` runs on a
  // thread the dispatcher starts. Returns when the service reported Stopped.
  virtual Status run_dispatcher(const std::string& name, std::function<void()> service_main) = 0;
  // Registers the control handler; each control code is passed to `handler`
  // and its result returned to the system.
  virtual Status register_control_handler(const std::string& name, std::function<std::uint32_t(std::uint32_t)> handler) = 0;
  // Reports through the handle of the last registered handler.
  virtual Status report_status(const ServiceStatusReport& report) = 0;

  virtual Status create_service(const ServiceDefinition& definition) = 0;
  virtual Status start_service(const std::string& name) = 0;
  virtual Status stop_service(const std::string& name) = 0;
  virtual Result<ServiceProcessStatus> query_service(const std::string& name) = 0;
  virtual Status delete_service(const std::string& name) = 0;

  // OpenSCManagerW on this machine's active database.
  virtual Result<std::unique_ptr<ServiceDatabase>> open_database(std::uint32_t access) = 0;
};

}  // namespace vorn::platform
