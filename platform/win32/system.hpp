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

}  // namespace vorn::platform
