// The installer's modes against the Service Control Manager: register or
// repair and start, remove, or stop everything before an upgrade.
#pragma once

#include <optional>
#include <string>

#include "helper_service/hosts.hpp"
#include "helper_service/setup_context.hpp"
#include "platform/platform.hpp"
#include "support/error.hpp"

namespace vorn {

inline constexpr const char* SERVICE_DISPLAY_NAME = "Vorn Tunnel Helper";
inline constexpr const char* SERVICE_DESCRIPTION = "Manages the Vorn tunnel (TUN adapter + kill-switch).";
inline constexpr std::chrono::seconds SERVICE_START_WAIT{90};
inline constexpr std::chrono::milliseconds SERVICE_START_POLL{250};

// Access asked of the service manager and of the service, per mode.
inline constexpr std::uint32_t INSTALL_MANAGER_ACCESS = 0x3;
inline constexpr std::uint32_t INSTALL_SERVICE_ACCESS = 0x37;
inline constexpr std::uint32_t UNINSTALL_MANAGER_ACCESS = 0x1;
inline constexpr std::uint32_t UNINSTALL_SERVICE_ACCESS = 0x10025;
inline constexpr std::uint32_t UPGRADE_MANAGER_ACCESS = 0x1;
inline constexpr std::uint32_t UPGRADE_SERVICE_ACCESS = 0x25;

// The registration for `executable`: its path as one quoted argument, then
// "run".
platform::ServiceRegistration helper_registration(const std::string& executable);

// A fresh engine in this process: cleanup_owned, then its confirmation.
Status clean_owned_with_fresh_engine(platform::Platform& platform);

// The real clock and the fresh-engine cleanup.
SetupContext default_setup_context(platform::Platform& platform);

Status stop_and_clean_owned(const SetupContext& context, platform::Service* service, bool repair);

Status install_service(const SetupContext& context, bool repair);
Status uninstall_service(const SetupContext& context);
Status prepare_upgrade(const SetupContext& context);

Status install_service(platform::Platform& platform, bool repair);
Status uninstall_service(platform::Platform& platform);
Status prepare_upgrade(platform::Platform& platform);

}  // namespace vorn
