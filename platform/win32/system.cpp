#include "platform/win32/system.hpp"

#include "platform/system_random.hpp"

namespace vorn::platform {

Platform& win32_platform() {
  static Platform platform{
      .files = win32_file_system(),
      .environment = win32_environment(),
      .random = system_random(),
      .processes = win32_processes(),
      .services = win32_service_manager(),
      .pipes = win32_pipes(),
      .console = win32_console(),
      .devices = win32_devices(),
      .ip_helper = win32_ip_helper(),
  };
  return platform;
}

}  // namespace vorn::platform
