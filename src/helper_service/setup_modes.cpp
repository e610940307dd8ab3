#include "helper_service/setup_modes.hpp"

#include <fmt/format.h>

#include <thread>

#include "helper_engine/engine.hpp"
#include "helper_service/image_record.hpp"
#include "helper_service/service_stop.hpp"
#include "helper_service/setup_failure.hpp"
#include "proc_guard/proc_guard.hpp"

namespace vorn {
namespace {

constexpr const char* NOT_ELEVATED = "helper repair: elevated installer required";

// One argument as the system's command-line splitter reads it back.
std::string quote_argument(std::string_view arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string_view::npos) return std::string(arg);
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled and the quote escaped; others
    // stand for themselves.
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  out += '"';
  return out;
}

bool image_exists(platform::FileSystem& files, const std::string& path) { return files.target_metadata(path).has_value(); }

bool is_absent(const Error& error) {
  for (const Error* e = &error; e != nullptr; e = e->cause()) {
    if (e->os_code() == platform::ERROR_CODE_SERVICE_DOES_NOT_EXIST) return true;
  }
  return false;
}

// The registered service, or none when there is no registration.
Result<std::unique_ptr<platform::Service>> open_helper_service(platform::ServiceDatabase& database,
                                                              std::uint32_t access) {
  auto service = database.open_service(SERVICE_NAME, access);
  if (!service && is_absent(service.error())) return std::unique_ptr<platform::Service>();
  return service;
}

Status wait_for_running(const SetupContext& context, platform::Service& service, const std::string& own_image) {
  const auto deadline = context.clock.now() + SERVICE_START_WAIT;
  for (;;) {
    auto status = query_service_status(service);
    if (!status) return setup_failure_status_query(std::move(status.error()));
    if (status->state == ServiceState::Running) return {};
    if (status->state == ServiceState::Stopped) {
      if (!image_exists(context.platform.files, own_image)) return image_missing_failure(own_image, "after start");
      return setup_failure(
          26, fmt::format("the service stopped right after start; exit={}", exit_code_text(status->exit)));
    }
    if (context.clock.now() >= deadline) {
      return setup_failure(27, fmt::format("service not Running after {}s; state={}", SERVICE_START_WAIT.count(),
                                           service_state_name(status->state)));
    }
    context.clock.sleep(SERVICE_START_POLL);
  }
}

}  // namespace

platform::ServiceRegistration helper_registration(const std::string& executable) {
  return platform::ServiceRegistration{
      .name = SERVICE_NAME,
      .display_name = SERVICE_DISPLAY_NAME,
      .binary_path = quote_argument(executable) + " run",
  };
}

Status clean_owned_with_fresh_engine(platform::Platform& platform) {
  auto engine = HelperEngine::create(platform);
  if (!engine) return fail(std::move(engine.error()));
  if (auto cleaned = engine->cleanup_owned(); !cleaned) return cleaned;
  if (!owned_cleanup_confirmed(*engine)) return fail("helper repair: owned cleanup remains unconfirmed");
  return {};
}

SetupContext default_setup_context(platform::Platform& platform) {
  return SetupContext{
      .platform = platform,
      .clock = system_setup_clock(),
      .clean_owned = clean_owned_with_fresh_engine,
  };
}

SetupClock system_setup_clock() {
  return SetupClock{
      .now = [] { return std::chrono::steady_clock::now(); },
      .sleep = [](std::chrono::nanoseconds d) { std::this_thread::sleep_for(d); },
  };
}

Status stop_and_clean_owned(const SetupContext& context, platform::Service* service, bool repair) {
  if (service != nullptr) {
    if (auto stopped = stop_service_confirmed(context, *service, repair); !stopped) return stopped;
  }
  return context.clean_owned(context.platform);
}

Status install_service(const SetupContext& context, bool repair) {
  auto& platform = context.platform;
  if (!platform.environment.is_elevated()) return setup_failure(20, NOT_ELEVATED);
  auto own = platform.environment.own_image_path();
  if (!own) return setup_failure(23, "own image path unavailable: " + own.error().full());
  const std::string own_image = std::move(*own);
  if (!image_exists(platform.files, own_image)) return image_missing_failure(own_image, "before registration");

  auto database = platform.services.open_database(INSTALL_MANAGER_ACCESS);
  if (!database) return setup_failure(21, "service manager: " + service_error_text(database.error()));
  auto opened = open_helper_service(**database, INSTALL_SERVICE_ACCESS);
  if (!opened) return setup_failure(21, "open service: " + service_error_text(opened.error()));
  std::unique_ptr<platform::Service> service = std::move(*opened);

  // Repair touches only its own installation's registration; install takes
  // over whatever is registered.
  if (repair && service) {
    auto configured = configured_service_executable(platform.environment, *service);
    if (!configured) return fail(std::move(configured.error()));
    if (!same_image_path(*configured, own_image)) {
      return fail("helper repair: configured service belongs to another installation");
    }
  }

  const platform::ServiceRegistration registration = helper_registration(own_image);
  if (auto cleaned = stop_and_clean_owned(context, service.get(), repair); !cleaned) {
    return setup_failure(22, cleaned.error().full());
  }
  if (!image_exists(platform.files, own_image)) return image_missing_failure(own_image, "after cleanup");
  record_helper_image(platform, own_image);

  if (service) {
    if (auto changed = service->change_config(registration); !changed) {
      return setup_failure_reconfigure(std::move(changed.error()));
    }
  } else {
    auto created = (*database)->create_service(registration, INSTALL_SERVICE_ACCESS);
    if (!created) return setup_failure_create(std::move(created.error()));
    service = std::move(*created);
  }
  // A missing description costs nothing but the text in the services list.
  (void)service->set_description(SERVICE_DESCRIPTION);

  if (auto started = service->start(); !started) {
    if (!image_exists(platform.files, own_image)) return image_missing_failure(own_image, "at start");
    return setup_failure(25, "start: " + service_error_text(started.error()));
  }
  return wait_for_running(context, *service, own_image);
}

Status uninstall_service(const SetupContext& context) {
  auto& platform = context.platform;
  if (!platform.environment.is_elevated()) return fail(NOT_ELEVATED);
  auto database = platform.services.open_database(UNINSTALL_MANAGER_ACCESS);
  if (!database) return fail(std::move(database.error()));
  auto service = open_helper_service(**database, UNINSTALL_SERVICE_ACCESS);
  if (!service) return fail(std::move(service.error()));
  if (auto cleaned = stop_and_clean_owned(context, service->get(), false); !cleaned) return cleaned;
  if (*service) return (*service)->remove();
  return {};
}

Status prepare_upgrade(const SetupContext& context) {
  auto& platform = context.platform;
  if (!platform.environment.is_elevated()) return fail(NOT_ELEVATED);
  // Recorded first, so that the image is known even when nothing else works.
  if (auto own = platform.environment.own_image_path()) record_helper_image(platform, *own);
  auto database = platform.services.open_database(UPGRADE_MANAGER_ACCESS);
  if (!database) return fail(std::move(database.error()));
  auto service = open_helper_service(**database, UPGRADE_SERVICE_ACCESS);
  if (!service) return fail(std::move(service.error()));
  return stop_and_clean_owned(context, service->get(), false);
}

Status install_service(platform::Platform& platform, bool repair) {
  return install_service(default_setup_context(platform), repair);
}

Status uninstall_service(platform::Platform& platform) { return uninstall_service(default_setup_context(platform)); }

Status prepare_upgrade(platform::Platform& platform) { return prepare_upgrade(default_setup_context(platform)); }

}  // namespace vorn
