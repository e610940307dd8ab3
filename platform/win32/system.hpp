// The real operating-system layer: one object per area, each living for the
// whole process.
#pragma once

#include "platform/platform.hpp"

namespace vorn::platform {

Platform& win32_platform();

FileSystem& win32_file_system();
Environment& win32_environment();
Processes& win32_processes();
ServiceManager& win32_service_manager();
Pipes& win32_pipes();
ConsoleControl& win32_console();
Devices& win32_devices();
IpHelper& win32_ip_helper();

}  // namespace vorn::platform
