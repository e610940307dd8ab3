// The operating system as the portable logic sees it: one reference per area.
// The real layer lives in platform/win32; unit tests pass fakes.
#pragma once

#include "platform/console.hpp"
#include "platform/devices.hpp"
#include "platform/environment.hpp"
#include "platform/files.hpp"
#include "platform/ip_helper.hpp"
#include "platform/pipes.hpp"
#include "platform/processes.hpp"
#include "platform/random.hpp"
#include "platform/service_manager.hpp"

namespace vorn::platform {

struct Platform {
  FileSystem& files;
  Environment& environment;
  Random& random;
  Processes& processes;
  ServiceManager& services;
  Pipes& pipes;
  ConsoleControl& console;
  Devices& devices;
  IpHelper& ip_helper;
};

}  // namespace vorn::platform
