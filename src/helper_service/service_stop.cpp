#include "helper_service/service_stop.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "proc_guard/proc_guard.hpp"
#include "support/text.hpp"

namespace vorn {
namespace {

constexpr std::uint32_t CAPTURE_ACCESS = platform::PROCESS_ACCESS_SYNCHRONIZE | platform::PROCESS_ACCESS_QUERY_LIMITED;
constexpr std::size_t MAX_PATH_UNITS = 32767;

std::uint32_t os_code_of(const Error& error) {
  for (const Error* e = &error; e != nullptr; e = e->cause()) {
    if (e->os_code()) return *e->os_code();
  }
  return 0;
}

bool same_process(const RetainedProcess& a, std::uint32_t pid, std::uint64_t created) {
  return a.pid == pid && a.created == created;
}

std::string_view last_component(std::string_view path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Every retained process has exited; a wait that fails proves nothing.
Result<bool> all_exited(const Inventory& inventory) {
  bool exited = true;
  for (const auto& process : inventory) {
    switch (process.handle->wait(0)) {
      case platform::WaitOutcome::Signaled:
        break;
      case platform::WaitOutcome::TimedOut:
        exited = false;
        break;
      case platform::WaitOutcome::Failed:
        return fail("helper repair: retained process wait failed");
    }
  }
  return exited;
}

// The sleep never reaches past the deadline.
void sleep_before_next_pass(const SetupContext& context, SetupClock::time_point deadline) {
  const auto now = context.clock.now();
  if (now >= deadline) return;
  context.clock.sleep(std::min<std::chrono::nanoseconds>(deadline - now, REPAIR_POLL_STEP));
}

// Stale: the process is no longer the one held; Terminated counts only with
// its exit seen within the wait.
bool termination_proven(const RecordOutcome& outcome) {
  if (std::holds_alternative<record_outcome::Stale>(outcome)) return true;
  const auto* terminated = std::get_if<record_outcome::Terminated>(&outcome);
  return terminated != nullptr && terminated->exited_in_time;
}

Status deadline_passed() { return fail("helper repair: service/process state remains unconfirmed"); }

// The service is still the one the recovery started from: the same process
// while Running, or Stopped.
bool unchanged_since(const ServiceStatus& status, std::uint32_t initial_pid) {
  if (status.pid) return *status.pid == initial_pid;
  return status.state == ServiceState::Stopped;
}

}  // namespace

std::string_view service_state_name(ServiceState state) {
  switch (state) {
    case ServiceState::Stopped:
      return "Stopped";
    case ServiceState::StartPending:
      return "StartPending";
    case ServiceState::StopPending:
      return "StopPending";
    case ServiceState::Running:
      return "Running";
    case ServiceState::ContinuePending:
      return "ContinuePending";
    case ServiceState::PausePending:
      return "PausePending";
    case ServiceState::Paused:
      return "Paused";
  }
  return "Unknown";
}

std::string exit_code_text(const ServiceExitCode& exit) {
  return fmt::format("{}({})", exit.service_specific ? "ServiceSpecific" : "Win32", exit.code);
}

Result<ServiceStatus> read_service_status(const platform::ServiceProcessStatus& raw) {
  if (raw.current_state < 1 || raw.current_state > 7) return fail("invalid service status value");
  ServiceStatus status;
  status.state = static_cast<ServiceState>(raw.current_state);
  if (raw.win32_exit_code == platform::ERROR_CODE_SERVICE_SPECIFIC) {
    status.exit = {true, raw.service_specific_exit_code};
  } else {
    status.exit = {false, raw.win32_exit_code};
  }
  if (status.state == ServiceState::Running && raw.pid != 0) status.pid = raw.pid;
  return status;
}

Result<ServiceStatus> query_service_status(platform::Service& service) {
  auto raw = service.query_status();
  if (!raw) return fail(std::move(raw.error()));
  return read_service_status(*raw);
}

Error inspect_identity_error(std::uint32_t code) {
  return Error(fmt::format("helper repair: process identity cannot be inspected ({})", code));
}

Result<CaptureOutcome> capture_process_identity(platform::Processes& processes, std::uint32_t pid,
                                                std::string_view expected, std::string_view stage,
                                                const Inventory& retained) {
  auto opened = processes.open_process(pid, CAPTURE_ACCESS);
  if (!opened) {
    const std::uint32_t code = os_code_of(opened.error());
    if (code == platform::ERROR_CODE_INVALID_PARAMETER) return NotOurs{};
    return fail(inspect_identity_error(code));
  }
  std::unique_ptr<platform::ProcessHandle> handle = std::move(*opened);
  auto times = handle->times();
  if (!times) return fail("helper repair: process creation identity unavailable");
  if (times->created == 0) return fail("helper repair: empty process creation identity");
  const std::uint64_t created = times->created;

  // A process already held and proven to run this image is still that
  // process while its id and creation time match.
  if (stage == STAGE_STOPPED_INVENTORY && pid != 0) {
    const bool known = std::ranges::any_of(retained, [&](const RetainedProcess& r) {
      return same_process(r, pid, created) && same_image_path(r.image_path, expected);
    });
    if (known) return RetainedProcess{std::string(expected), std::move(handle), created, pid};
  }

  auto image = handle->image_path();
  if (image) {
    if (!same_image_path(*image, expected)) return NotOurs{};
    return RetainedProcess{std::string(expected), std::move(handle), created, pid};
  }
  const std::uint32_t code = os_code_of(image.error());
  switch (handle->wait(0)) {
    case platform::WaitOutcome::Signaled:
      return NotOurs{};
    case platform::WaitOutcome::TimedOut:
      return fail(fmt::format(
          "helper repair: process image identity unavailable; api=QueryFullProcessImageNameW win32={} stage={} "
          "pid={} birth={}; retained_wait=not_signaled",
          code, stage, pid, created));
    case platform::WaitOutcome::Failed:
      break;
  }
  const Error wait_failed("helper repair: retained process wait failed");
  return fail(fmt::format(
      "helper repair: process image identity unavailable; api=QueryFullProcessImageNameW win32={} stage={} pid={} "
      "birth={}; retained_wait=unknown: {}",
      code, stage, pid, created, wait_failed.full()));
}

Result<Inventory> inventory_image_processes(platform::Processes& processes, std::string_view expected,
                                            std::string_view stage, const Inventory& retained) {
  const std::string_view basename = last_component(expected);
  if (basename.empty()) return fail("helper repair: missing image basename");
  const std::string wanted = text::to_lower(basename);
  const platform::ProcessSnapshot snapshot = processes.snapshot_processes();
  if (snapshot.failure == platform::SnapshotFailure::Unavailable) {
    return fail("helper repair: process inventory unavailable");
  }
  const std::uint32_t self = processes.current_pid();
  Inventory found;
  for (const auto& entry : snapshot.entries) {
    if (entry.pid == self) continue;
    if (text::to_lower(entry.exe_name) != wanted) continue;
    auto captured = capture_process_identity(processes, entry.pid, expected, stage, retained);
    if (!captured) return fail(std::move(captured.error()));
    if (auto* process = std::get_if<RetainedProcess>(&*captured)) found.push_back(std::move(*process));
  }
  if (snapshot.failure == platform::SnapshotFailure::Incomplete) {
    return fail("helper repair: process inventory incomplete");
  }
  return found;
}

Status wait_repair_settled(const SetupContext& context, SetupClock::time_point deadline, platform::Service& service,
                           const Inventory& inventory) {
  for (;;) {
    if (context.clock.now() >= deadline) return deadline_passed();
    auto status = query_service_status(service);
    if (!status) return fail(std::move(status.error()));
    if (status->state == ServiceState::Stopped) {
      auto exited = all_exited(inventory);
      if (!exited) return fail(std::move(exited.error()));
      if (*exited) return {};
    }
    sleep_before_next_pass(context, deadline);
  }
}

Status wait_repair_settled_with_inventory(const SetupContext& context, SetupClock::time_point deadline,
                                          platform::Service& service, std::string_view expected,
                                          Inventory& inventory) {
  for (;;) {
    if (context.clock.now() >= deadline) return deadline_passed();
    auto status = query_service_status(service);
    if (!status) return fail(std::move(status.error()));
    if (status->state == ServiceState::Stopped) {
      auto found = inventory_image_processes(context.platform.processes, expected, STAGE_STOPPED_INVENTORY, inventory);
      if (!found) return fail(std::move(found.error()));
      for (auto& process : *found) {
        const bool held = std::ranges::any_of(
            inventory, [&](const RetainedProcess& r) { return same_process(r, process.pid, process.created); });
        // A process already held keeps its first handle; the new one closes here.
        if (!held) inventory.push_back(std::move(process));
      }
      if (inventory.empty()) return {};
      auto exited = all_exited(inventory);
      if (!exited) return fail(std::move(exited.error()));
      if (*exited) return {};
    }
    sleep_before_next_pass(context, deadline);
  }
}

bool is_absolute_windows_path(std::string_view path) {
  auto separator = [](char c) { return c == '\\' || c == '/'; };
  const bool letter = path.size() >= 3 && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
  if (letter && path[1] == ':' && separator(path[2])) return true;
  // UNC paths and "\\?\" paths both begin with two separators.
  return path.size() >= 3 && separator(path[0]) && separator(path[1]) && !separator(path[2]);
}

Result<std::string> configured_service_executable(platform::Environment& environment, platform::Service& service) {
  auto config = service.query_config();
  if (!config) return fail(std::move(config.error()));
  if (config->start_type > 4) return fail("invalid service start type value");
  if (config->error_control > 3) return fail("invalid service error control value");
  if (config->service_type != platform::SERVICE_TYPE_OWN_PROCESS) return fail("helper repair: unexpected service type");
  auto args = environment.split_command_line(config->binary_path);
  if (!args) return fail("helper repair: configured executable cannot be parsed");
  if (args->empty()) return fail("helper repair: configured executable absent");
  std::string& executable = args->front();
  const std::size_t units = text::to_utf16(executable).size();
  if (units < 1 || units > MAX_PATH_UNITS) return fail("helper repair: configured executable invalid");
  if (!is_absolute_windows_path(executable)) return fail("helper repair: configured executable not absolute");
  return std::move(executable);
}

Status stop_service_confirmed(const SetupContext& context, platform::Service& service, bool repair) {
  auto expected = configured_service_executable(context.platform.environment, service);
  if (!expected) return fail(std::move(expected.error()));
  auto initial = query_service_status(service);
  if (!initial) return fail(std::move(initial.error()));
  // A pending or paused service has no process to hold, so its end could not
  // be proven.
  if (initial->state != ServiceState::Stopped && !initial->pid) {
    return fail("helper repair: active service process identity unavailable");
  }
  const auto deadline = context.clock.now() + STOP_CONFIRM_BUDGET;
  auto& processes = context.platform.processes;
  auto inventory = inventory_image_processes(processes, *expected, STAGE_INITIAL_INVENTORY, {});
  if (!inventory) return fail(std::move(inventory.error()));
  if (initial->pid) {
    const std::uint32_t pid = *initial->pid;
    if (std::ranges::none_of(*inventory, [&](const RetainedProcess& r) { return r.pid == pid; })) {
      auto captured = capture_process_identity(processes, pid, *expected, STAGE_INITIAL_SCM_PID, {});
      if (!captured) return fail(std::move(captured.error()));
      auto* process = std::get_if<RetainedProcess>(&*captured);
      if (process == nullptr) return fail("helper repair: current service process identity unconfirmed");
      inventory->push_back(std::move(*process));
    }
  }
  if (context.clock.now() >= deadline) return deadline_passed();

  if (initial->state != ServiceState::Stopped) {
    if (auto stopped = service.control_stop(); !stopped) {
      auto now = query_service_status(service);
      if (!now) return fail(std::move(now.error()));
      // The service may have stopped by itself meanwhile; in repair mode the
      // wait and the recovery decide instead.
      if (!repair && now->state != ServiceState::Stopped) return stopped;
    }
  }

  Status waited = wait_repair_settled_with_inventory(context, deadline, service, *expected, *inventory);
  if (waited || !repair) return waited;

  // Repair: the service is hung. Only the exact process the manager reported
  // at the start may be terminated, and only while the service is unchanged.
  auto before = query_service_status(service);
  if (!before) return fail(std::move(before.error()));
  if (!initial->pid) return waited;
  const std::uint32_t initial_pid = *initial->pid;
  if (!unchanged_since(*before, initial_pid)) return fail("helper repair: service changed during explicit recovery");
  const auto own = std::ranges::find_if(*inventory, [&](const RetainedProcess& r) { return r.pid == initial_pid; });
  // The initial process was retained before the stop; without it there is
  // nothing this recovery may terminate.
  if (own == inventory->end()) return waited;
  const ProcRecord record{own->pid, own->created, own->image_path};
  const RecordOutcome outcome = terminate_recorded_process(
      processes, record, own->image_path, WaitSpan{static_cast<std::uint64_t>(RECOVERY_TERMINATE_WAIT.count()), 0});
  if (!termination_proven(outcome)) return fail("helper repair: exact own service termination unconfirmed");
  auto after = query_service_status(service);
  if (!after) return fail(std::move(after.error()));
  if (!unchanged_since(*after, initial_pid)) return fail("helper repair: successor service observed after recovery");
  return wait_repair_settled(context, context.clock.now() + RECOVERY_TERMINATE_WAIT, service, *inventory);
}

}  // namespace vorn
