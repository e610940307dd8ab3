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

namespace {

std::string broke_off_text(std::string_view what, std::exception_ptr failure) {
  if (auto text = exception_text(std::move(failure))) return fmt::format("{} broke off: {}", what, *text);
  return fmt::format("{} broke off", what);
}

// The pipe server with an exception turned into its completion. A selection
// waits for one branch to succeed, so a server that threw would otherwise
// leave the host waiting for a Stop with no pipe behind it.
asio::awaitable<Error> server_ending_on_exceptions(asio::awaitable<Error> server, std::optional<Error>& broke_off) {
  std::exception_ptr failure;
  try {
    co_return co_await std::move(server);
  } catch (...) {
    failure = std::current_exception();
  }
  broke_off = Error(broke_off_text("helper: pipe server", failure));
  co_return *broke_off;
}

// Any other exception that escapes the server task, or one from the cleanup,
// is an error of the service body like any other: the service still reaches
// its cleanup and its Stopped report, instead of ending with nothing reported.
template <class Body>
Status without_exceptions(std::string_view what, Body&& body) {
  try {
    return body();
  } catch (...) {
    return fail(broke_off_text(what, std::current_exception()));
  }
}

}  // namespace

asio::awaitable<Status> service_pipe_server(HelperEngine engine, std::shared_ptr<ShutdownSignal> signal,
                                            BlockingPool& blocking, HostLines lines) {
  // Dropping the losing wait ends the accept loop and closes its listening
  // instance; connection tasks already started go on serving.
  // Both operations are named first: GCC 12 destroys temporaries of a
  // co_await expression twice, and the server takes an engine copy.
  std::optional<Error> broke_off;
  auto wait = signal->wait();
  auto server = server_ending_on_exceptions(run_pipe_server(engine, blocking), broke_off);
  auto outcome = co_await (std::move(wait) || std::move(server));
  // The owned cleanup can take seconds (a core stop, an adapter cleanup); it
  // runs on the service thread once the server is gone, never on a worker.
  engine.stopping().store(true);
  if (auto* error = std::get_if<1>(&outcome)) {
    // A server that broke off is a failure of the service body itself.
    if (broke_off) co_return fail(std::move(*broke_off));
    lines(fmt::format("[vorn-helper] pipe server error: {}", error->message()));
  }
  co_return Status{};
}

void service_main(platform::Platform& platform, const HostLines& lines) {
  auto signal = std::make_shared<ShutdownSignal>();
  auto registered = platform.services.register_control_handler(
      SERVICE_NAME, [signal](std::uint32_t control) { return service_control_handler(*signal, control); });
  if (!registered) {
    lines(fmt::format("[vorn-helper] service error: {}", registered.error().message()));
    return;
  }
  if (auto reported = platform.services.report_status(running_report()); !reported) {
    lines(fmt::format("[vorn-helper] service error: {}", reported.error().message()));
    // The dispatcher returns only after a Stopped report; try to give one.
    (void)platform.services.report_status(stopped_report(false));
    return;
  }
  auto runtime = Runtime::create();
  if (!runtime) {
    lines(fmt::format("[vorn-helper] service error: {}", runtime.error().message()));
    (void)platform.services.report_status(stopped_report(false));
    return;
  }
  auto created = HelperEngine::create(platform);
  if (!created) {
    lines(fmt::format("[vorn-helper] service error: {}", created.error().message()));
    (void)platform.services.report_status(stopped_report(false));
    return;
  }
  std::optional<HelperEngine> engine = std::move(*created);
  const Status served = without_exceptions("helper: service task", [&] {
    return (*runtime)->block_on(service_pipe_server(*engine, signal, (*runtime)->blocking(), lines));
  });
  // Set here too: a task that broke off may not have come to it.
  engine->stopping().store(true);
  // The runtime keeps serving the connections already started while the
  // cleanup runs, so a request that reached the helper before the stop still
  // gets its reply.
  const Status cleaned = without_exceptions("helper: owned cleanup", [&] { return engine->cleanup_owned(); });
  const Status reported = platform.services.report_status(stopped_report(served.has_value() && cleaned.has_value()));
  // The engine goes before the runtime whose pool may still hold clones;
  // connections still open now end without a reply.
  engine.reset();
  runtime->reset();
  if (!reported) {
    lines(fmt::format("[vorn-helper] service error: {}", reported.error().message()));
    return;
  }
  if (!served) lines(fmt::format("[vorn-helper] service error: {}", served.error().message()));
  if (!cleaned) lines(fmt::format("[vorn-helper] service error: {}", cleaned.error().message()));
}

namespace {

asio::awaitable<Status> console_pipe_server(platform::Platform& platform, BlockingPool& blocking) {
  auto engine = HelperEngine::create(platform);
  if (!engine) co_return fail(engine.error());
  std::optional<Error> broke_off;
  auto server = server_ending_on_exceptions(run_pipe_server(*engine, blocking), broke_off);
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
