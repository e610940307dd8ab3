// The operating system as the portable logic sees it: one reference per area.
// The real layer lives in platform/win32; unit tests pass fakes.
#pragma once

#include "platform/environment.hpp"
#include "platform/files.hpp"
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
};

}  // namespace vorn::platform
