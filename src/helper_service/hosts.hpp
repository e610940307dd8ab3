// The service host under the Service Control Manager and the console host:
// the life cycle around the pipe server and the engine.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include <asio/awaitable.hpp>
#include "helper_service/runtime.hpp"

#include "helper_engine/engine.hpp"
#include "helper_service/shutdown_signal.hpp"
#include "platform/platform.hpp"
#include "support/error.hpp"

namespace vorn {

inline constexpr const char* SERVICE_NAME = "VornHelper";

inline constexpr std::uint32_t CONTROL_STOP = 1;
inline constexpr std::uint32_t CONTROL_INTERROGATE = 4;
inline constexpr std::uint32_t CONTROL_SHUTDOWN = 5;
inline constexpr std::uint32_t ERROR_CALL_NOT_IMPLEMENTED_CODE = 120;
inline constexpr std::uint32_t ERROR_SERVICE_SPECIFIC_ERROR_CODE = 1066;

void write_stderr_line(std::string_view line);

// Where a host writes its few lines; standard error unless a test listens.
using HostLines = std::function<void(std::string_view)>;

// Stop and Shutdown give the signal; Interrogate is answered; anything else is
// not implemented.
std::uint32_t service_control_handler(ShutdownSignal& signal, std::uint32_t control);

platform::ServiceStatusReport running_report();
platform::ServiceStatusReport stopped_report(bool cleanup_succeeded);

Status run_service_dispatcher(platform::Platform& platform);
void service_main(platform::Platform& platform, const HostLines& lines = write_stderr_line);
Status run_console(platform::Platform& platform);

// The service's server task: serves until the signal or a server failure,
// then sets the stopping flag. The owned cleanup is the caller's, on its own
// thread, while connections the server started are still being answered.
asio::awaitable<Status> service_pipe_server(HelperEngine engine, std::shared_ptr<ShutdownSignal> signal,
                                            BlockingPool& blocking, HostLines lines = write_stderr_line);

}  // namespace vorn
