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
  };
  return platform;
}

}  // namespace vorn::platform
