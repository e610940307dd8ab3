// The Service Control Manager: the dispatcher and status reports of the
// service host, and the registration calls of the setup modes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "support/error.hpp"

namespace vorn::platform {

inline constexpr std::uint32_t SERVICE_STATE_STOPPED = 1;
inline constexpr std::uint32_t SERVICE_STATE_RUNNING = 4;

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
};

}  // namespace vorn::platform
