#include <utility>

#include "platform/service_manager.hpp"
#include "platform/win32/system.hpp"
#include "platform/win32/windows_support.hpp"

namespace vorn::platform {
namespace {

Error winapi_error(DWORD code) { return win32::os_error(code).context("IO error in winapi call"); }

std::unexpected<Error> winapi_failure() { return fail(winapi_error(::GetLastError())); }

// The dispatcher runs one service per process and its entry point takes no
// context, so the body lives here for the dispatcher call.
std::function<void()> service_body;

void WINAPI service_main_entry(DWORD, LPWSTR*) { service_body(); }

DWORD WINAPI control_entry(DWORD control, DWORD, LPVOID, LPVOID context) {
  return (*static_cast<std::function<std::uint32_t(std::uint32_t)>*>(context))(control);
}

Result<win32::unique_schandle> open_manager(DWORD access) {
  win32::unique_schandle manager(::OpenSCManagerW(nullptr, nullptr, access));
  if (!manager) return winapi_failure();
  return manager;
}

Result<win32::unique_schandle> open_service(const std::string& name, DWORD access) {
  auto manager = open_manager(SC_MANAGER_CONNECT);
  if (!manager) return fail(std::move(manager.error()));
  win32::unique_schandle service(::OpenServiceW(manager->get(), win32::wide(name).c_str(), access));
  if (!service) return winapi_failure();
  return service;
}

SERVICE_STATUS to_native(const ServiceStatusReport& report) {
  SERVICE_STATUS status{};
  status.dwServiceType = report.service_type;
  status.dwCurrentState = report.current_state;
  status.dwControlsAccepted = report.controls_accepted;
  status.dwWin32ExitCode = report.win32_exit_code;
  status.dwServiceSpecificExitCode = report.service_specific_exit_code;
  status.dwCheckPoint = report.check_point;
  status.dwWaitHint = report.wait_hint;
  return status;
}

class WindowsServiceManager final : public ServiceManager {
 public:
  Status run_dispatcher(const std::string& name, std::function<void()> service_main) override {
    service_body = std::move(service_main);
    std::wstring service_name = win32::wide(name);
    const SERVICE_TABLE_ENTRYW table[] = {{service_name.data(), &service_main_entry}, {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherW(table)) return winapi_failure();
    return {};
  }

  // One registration per service run: the handler is replaced before the
  // system can deliver a control through the new registration.
  Status register_control_handler(const std::string& name, std::function<std::uint32_t(std::uint32_t)> handler) override {
    control_handler_ = std::move(handler);
    const SERVICE_STATUS_HANDLE status =
        ::RegisterServiceCtrlHandlerExW(win32::wide(name).c_str(), &control_entry, &control_handler_);
    if (status == nullptr) return winapi_failure();
    status_handle_ = status;
    return {};
  }

  Status report_status(const ServiceStatusReport& report) override {
    SERVICE_STATUS status = to_native(report);
    if (!::SetServiceStatus(status_handle_, &status)) return winapi_failure();
    return {};
  }

  // The local system account, no load-order group and no dependencies.
  Status create_service(const ServiceDefinition& definition) override {
    auto manager = open_manager(SC_MANAGER_CREATE_SERVICE);
    if (!manager) return fail(std::move(manager.error()));
    win32::unique_schandle service(::CreateServiceW(
        manager->get(), win32::wide(definition.name).c_str(), win32::wide(definition.display_name).c_str(),
        SERVICE_QUERY_STATUS, SERVICE_WIN32_OWN_PROCESS, definition.start_type, SERVICE_ERROR_NORMAL,
        win32::wide(definition.command_line).c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) return winapi_failure();
    return {};
  }

  Status start_service(const std::string& name) override {
    auto service = open_service(name, SERVICE_START);
    if (!service) return fail(std::move(service.error()));
    if (!::StartServiceW(service->get(), 0, nullptr)) return winapi_failure();
    return {};
  }

  Status stop_service(const std::string& name) override {
    auto service = open_service(name, SERVICE_STOP);
    if (!service) return fail(std::move(service.error()));
    SERVICE_STATUS status{};
    if (!::ControlService(service->get(), SERVICE_CONTROL_STOP, &status)) return winapi_failure();
    return {};
  }

  Result<ServiceProcessStatus> query_service(const std::string& name) override {
    auto service = open_service(name, SERVICE_QUERY_STATUS);
    if (!service) return fail(std::move(service.error()));
    SERVICE_STATUS_PROCESS native{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service->get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&native),
                                sizeof(native), &needed)) {
      return winapi_failure();
    }
    return ServiceProcessStatus{
        .current_state = native.dwCurrentState,
        .win32_exit_code = native.dwWin32ExitCode,
        .service_specific_exit_code = native.dwServiceSpecificExitCode,
        .pid = native.dwProcessId,
    };
  }

  Status delete_service(const std::string& name) override {
    auto service = open_service(name, DELETE);
    if (!service) return fail(std::move(service.error()));
    if (!::DeleteService(service->get())) return winapi_failure();
    return {};
  }

 private:
  std::function<std::uint32_t(std::uint32_t)> control_handler_;
  SERVICE_STATUS_HANDLE status_handle_ = nullptr;
};

}  // namespace

ServiceManager& win32_service_manager() {
  static WindowsServiceManager services;
  return services;
}

}  // namespace vorn::platform
