#include "helper_service/hosts.hpp"

#include <fmt/format.h>

#include <asio/experimental/awaitable_operators.hpp>
#include <cstdio>
#include <optional>
#include <variant>

#include "helper_service/pipe_server.hpp"
#include "helper_service/runtime.hpp"

namespace vorn {

using namespace asio::experimental::awaitable_operators;

void write_stderr_line(std::string_view line) {
  std::string out(line);
  out += '\n';
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
}

std::uint32_t service_control_handler(ShutdownSignal& signal, std::uint32_t control) {
  switch (control) {
    case CONTROL_STOP:
    case CONTROL_SHUTDOWN:
      signal.give();
      return 0;
    case CONTROL_INTERROGATE:
      return 0;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED_CODE;
  }
}

platform::ServiceStatusReport running_report() {
  platform::ServiceStatusReport r;
  r.current_state = platform::SERVICE_STATE_RUNNING;
  r.controls_accepted = 0x1 | 0x4;  // stop and shutdown
  return r;
}

platform::ServiceStatusReport stopped_report(bool cleanup_succeeded) {
  platform::ServiceStatusReport r;
  r.current_state = platform::SERVICE_STATE_STOPPED;
  if (!cleanup_succeeded) {
    r.win32_exit_code = ERROR_SERVICE_SPECIFIC_ERROR_CODE;
    r.service_specific_exit_code = 1;
  }
  return r;
}

Status run_service_dispatcher(platform::Platform& platform) {
  return platform.services.run_dispatcher(SERVICE_NAME, [&platform] { service_main(platform); });
}

asio::awaitable<Status> service_pipe_server(HelperEngine engine, std::shared_ptr<ShutdownSignal> signal,
                                            BlockingPool& blocking) {
  // Dropping the losing wait ends the accept loop; connection tasks already
  // started go on serving.
  // Both operations are named first: GCC 12 destroys temporaries of a
  // co_await expression twice, and the server takes an engine copy.
  auto wait = signal->wait();
  auto server = run_pipe_server(engine, blocking);
  auto outcome = co_await (std::move(wait) || std::move(server));
  if (auto* error = std::get_if<1>(&outcome)) write_stderr_line(fmt::format("[vorn-helper] pipe server error: {}", error->message()));
  // The owned cleanup can take seconds (a core stop, an adapter cleanup); it
  // runs on the service thread once the server is gone, never on a worker.
  engine.stopping().store(true);
  co_return Status{};
}

void service_main(platform::Platform& platform) {
  auto signal = std::make_shared<ShutdownSignal>();
  auto registered = platform.services.register_control_handler(
      SERVICE_NAME, [signal](std::uint32_t control) { return service_control_handler(*signal, control); });
  if (!registered) {
    write_stderr_line(fmt::format("[vorn-helper] service error: {}", registered.error().message()));
    return;
  }
  if (auto reported = platform.services.report_status(running_report()); !reported) {
    write_stderr_line(fmt::format("[vorn-helper] service error: {}", reported.error().message()));
    // The dispatcher returns only after a Stopped report; try to give one.
    (void)platform.services.report_status(stopped_report(false));
    return;
  }
  auto runtime = Runtime::create();
  if (!runtime) {
    write_stderr_line(fmt::format("[vorn-helper] service error: {}", runtime.error().message()));
    (void)platform.services.report_status(stopped_report(false));
    return;
  }
  auto created = HelperEngine::create(platform);
  if (!created) {
    write_stderr_line(fmt::format("[vorn-helper] service error: {}", created.error().message()));
    (void)platform.services.report_status(stopped_report(false));
    return;
  }
  std::optional<HelperEngine> engine = std::move(*created);
  (void)(*runtime)->block_on(service_pipe_server(*engine, signal, (*runtime)->blocking()));
  engine->stopping().store(true);
  const Status result = engine->cleanup_owned();
  const Status reported = platform.services.report_status(stopped_report(result.has_value()));
  // The engine goes before the runtime whose pool may still hold clones.
  engine.reset();
  runtime->reset();
  if (!reported) {
    write_stderr_line(fmt::format("[vorn-helper] service error: {}", reported.error().message()));
  } else if (!result) {
    write_stderr_line(fmt::format("[vorn-helper] service error: {}", result.error().message()));
  }
}

namespace {

asio::awaitable<Status> console_pipe_server(platform::Platform& platform, BlockingPool& blocking) {
  auto engine = HelperEngine::create(platform);
  if (!engine) co_return fail(engine.error());
  auto server = run_pipe_server(*engine, blocking);
  const Error error = co_await std::move(server);
  write_stderr_line(fmt::format("[vorn-helper] pipe server error: {}", error.message()));
  co_return Status{};
}

}  // namespace

Status run_console(platform::Platform& platform) {
  write_stderr_line(fmt::format("[vorn-helper] console mode, listening on {}", PIPE_NAME));
  auto runtime = Runtime::create();
  if (!runtime) return fail(runtime.error());
  Status result = (*runtime)->block_on(console_pipe_server(platform, (*runtime)->blocking()));
  runtime->reset();
  return result;
}

}  // namespace vorn
