#include <cstdint>
#include <memory>
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

// Text that holds a NUL cannot be passed to a call that reads up to the first
// one; it is refused before the call with a text of its own.
Status refuse_nul(std::string_view value, std::string_view what) {
  if (value.find('\0') != std::string_view::npos) return fail(std::string(what) + " contains a nul byte");
  return {};
}

Result<ServiceProcessStatus> query_status_of(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS native{};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&native), sizeof(native),
                              &needed)) {
    return winapi_failure();
  }
  return ServiceProcessStatus{
      .current_state = native.dwCurrentState,
      .win32_exit_code = native.dwWin32ExitCode,
      .service_specific_exit_code = native.dwServiceSpecificExitCode,
      .pid = native.dwProcessId,
  };
}

class WindowsService final : public Service {
 public:
  explicit WindowsService(win32::unique_schandle handle) : handle_(std::move(handle)) {}

  Result<ServiceProcessStatus> query_status() override {
    return query_status_of(handle_.get());
  }

  Result<ServiceConfig> query_config() override {
    // QUERY_SERVICE_CONFIGW holds pointers, so the buffer is aligned for them.
    constexpr DWORD BUFFER_BYTES = 8192;
    auto buffer = std::make_unique<std::uint64_t[]>(BUFFER_BYTES / sizeof(std::uint64_t));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.get());
    DWORD needed = 0;
    if (!::QueryServiceConfigW(handle_.get(), config, BUFFER_BYTES, &needed)) return winapi_failure();
    return ServiceConfig{
        .service_type = config->dwServiceType,
        .start_type = config->dwStartType,
        .error_control = config->dwErrorControl,
        .binary_path = config->lpBinaryPathName != nullptr ? win32::narrow(config->lpBinaryPathName) : std::string(),
    };
  }

  Status control_stop() override {
    SERVICE_STATUS status{};
    if (!::ControlService(handle_.get(), SERVICE_CONTROL_STOP, &status)) return winapi_failure();
    return {};
  }

  Status change_config(const ServiceRegistration& registration) override {
    if (auto ok = refuse_nul(registration.binary_path, "executable path"); !ok) return ok;
    if (auto ok = refuse_nul(registration.display_name, "display name"); !ok) return ok;
    if (!::ChangeServiceConfigW(handle_.get(), registration.service_type, registration.start_type,
                                registration.error_control, win32::wide(registration.binary_path).c_str(), nullptr,
                                nullptr, nullptr, nullptr, nullptr, win32::wide(registration.display_name).c_str())) {
      return winapi_failure();
    }
    return {};
  }

  Status set_description(const std::string& description) override {
    if (auto ok = refuse_nul(description, "description"); !ok) return ok;
    std::wstring text = win32::wide(description);
    SERVICE_DESCRIPTIONW info{text.data()};
    if (!::ChangeServiceConfig2W(handle_.get(), SERVICE_CONFIG_DESCRIPTION, &info)) return winapi_failure();
    return {};
  }

  Status start() override {
    if (!::StartServiceW(handle_.get(), 0, nullptr)) return winapi_failure();
    return {};
  }

  Status remove() override {
    if (!::DeleteService(handle_.get())) return winapi_failure();
    return {};
  }

 private:
  win32::unique_schandle handle_;
};

class WindowsServiceDatabase final : public ServiceDatabase {
 public:
  explicit WindowsServiceDatabase(win32::unique_schandle handle) : handle_(std::move(handle)) {}

  Result<std::unique_ptr<Service>> open_service(const std::string& name, std::uint32_t access) override {
    if (auto ok = refuse_nul(name, "service name"); !ok) return fail(std::move(ok.error()));
    win32::unique_schandle service(::OpenServiceW(handle_.get(), win32::wide(name).c_str(), access));
    if (!service) return winapi_failure();
    return std::make_unique<WindowsService>(std::move(service));
  }

  Result<std::unique_ptr<Service>> create_service(const ServiceRegistration& registration,
                                                  std::uint32_t access) override {
    for (const auto& [value, what] : {std::pair{&registration.name, "service name"},
                                      std::pair{&registration.display_name, "display name"},
                                      std::pair{&registration.binary_path, "executable path"}}) {
      if (auto ok = refuse_nul(*value, what); !ok) return fail(std::move(ok.error()));
    }
    win32::unique_schandle service(::CreateServiceW(
        handle_.get(), win32::wide(registration.name).c_str(), win32::wide(registration.display_name).c_str(), access,
        registration.service_type, registration.start_type, registration.error_control,
        win32::wide(registration.binary_path).c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) return winapi_failure();
    return std::make_unique<WindowsService>(std::move(service));
  }

 private:
  win32::unique_schandle handle_;
};

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
    return query_status_of(service->get());
  }

  Status delete_service(const std::string& name) override {
    auto service = open_service(name, DELETE);
    if (!service) return fail(std::move(service.error()));
    if (!::DeleteService(service->get())) return winapi_failure();
    return {};
  }

  Result<std::unique_ptr<ServiceDatabase>> open_database(std::uint32_t access) override {
    auto manager = open_manager(access);
    if (!manager) return fail(std::move(manager.error()));
    return std::make_unique<WindowsServiceDatabase>(std::move(*manager));
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
