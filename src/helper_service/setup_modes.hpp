// The installer's modes against the Service Control Manager.
#pragma once

#include "platform/platform.hpp"
#include "support/error.hpp"

namespace vorn {

Status install_service(platform::Platform& platform, bool repair);
Status uninstall_service(platform::Platform& platform);
Status prepare_upgrade(platform::Platform& platform);

}  // namespace vorn
