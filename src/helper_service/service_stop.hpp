// Proof that the registered service and every process of its executable are
// gone before a setup mode changes the registration or the installer replaces
// files. Processes are held open while the proof runs, so that a process id
// reused by the system is never taken for the process it was.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "helper_service/setup_context.hpp"
#include "platform/platform.hpp"
#include "support/error.hpp"

namespace vorn {

inline constexpr std::chrono::seconds STOP_CONFIRM_BUDGET{30};
inline constexpr std::chrono::milliseconds REPAIR_POLL_STEP{100};
inline constexpr std::chrono::seconds RECOVERY_TERMINATE_WAIT{5};

enum class ServiceState : std::uint32_t {
  Stopped = 1,
  StartPending = 2,
  StopPending = 3,
  Running = 4,
  ContinuePending = 5,
  PausePending = 6,
  Paused = 7,
};

std::string_view service_state_name(ServiceState state);

// The exit code a stopped service reported: its own code when the system
// code says so (1066), else the system code.
struct ServiceExitCode {
  bool service_specific = false;
  std::uint32_t code = 0;
};

// "Win32(1067)" or "ServiceSpecific(1)".
std::string exit_code_text(const ServiceExitCode& exit);

struct ServiceStatus {
  ServiceState state = ServiceState::Stopped;
  ServiceExitCode exit;
  // Only while Running, and never 0.
  std::optional<std::uint32_t> pid;
};

// The raw report checked and read; a state outside 1 to 7 fails.
Result<ServiceStatus> read_service_status(const platform::ServiceProcessStatus& raw);
Result<ServiceStatus> query_service_status(platform::Service& service);

// One process held for the proof; its handle closes with the record.
struct RetainedProcess {
  std::string image_path;  // the expected path it was verified against
  std::unique_ptr<platform::ProcessHandle> handle;
  std::uint64_t created = 0;
  std::uint32_t pid = 0;
};

using Inventory = std::vector<RetainedProcess>;

struct NotOurs {};
using CaptureOutcome = std::variant<RetainedProcess, NotOurs>;

inline constexpr std::string_view STAGE_INITIAL_INVENTORY = "initial_inventory";
inline constexpr std::string_view STAGE_INITIAL_SCM_PID = "initial_scm_pid";
inline constexpr std::string_view STAGE_STOPPED_INVENTORY = "stopped_inventory";

Error inspect_identity_error(std::uint32_t code);

Result<CaptureOutcome> capture_process_identity(platform::Processes& processes, std::uint32_t pid,
                                                std::string_view expected, std::string_view stage,
                                                const Inventory& retained);

// Every process of the expected executable except this one.
Result<Inventory> inventory_image_processes(platform::Processes& processes, std::string_view expected,
                                            std::string_view stage, const Inventory& retained);

// Until the service reports Stopped and every retained process has exited.
Status wait_repair_settled(const SetupContext& context, SetupClock::time_point deadline, platform::Service& service,
                           const Inventory& inventory);

// The same, and while the service reports Stopped every new process of the
// image joins the inventory and must exit too.
Status wait_repair_settled_with_inventory(const SetupContext& context, SetupClock::time_point deadline,
                                          platform::Service& service, std::string_view expected,
                                          Inventory& inventory);

// The absolute path of the registered executable, from its configured
// command line. Its existence is not tested.
Result<std::string> configured_service_executable(platform::Environment& environment, platform::Service& service);

// A drive letter with a root, a UNC path or a "\\?\" path.
bool is_absolute_windows_path(std::string_view path);

Status stop_service_confirmed(const SetupContext& context, platform::Service& service, bool repair);

}  // namespace vorn
