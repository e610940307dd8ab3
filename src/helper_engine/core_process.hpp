// One core child process from the helper's side: how it is described, how its
// output reaches the log ring, how its exit is seen and how it is stopped.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "helper_engine/engine.hpp"
#include "platform/console.hpp"
#include "platform/processes.hpp"
#include "support/clock.hpp"
#include "support/error.hpp"

namespace vorn {

// CREATE_NO_WINDOW with CREATE_NEW_PROCESS_GROUP: the core leads its own
// process group, whose id is its process id, so a Ctrl-Break can reach it
// alone.
inline constexpr std::uint32_t CORE_CREATION_FLAGS =
    platform::CREATE_FLAG_NO_WINDOW | platform::CREATE_FLAG_NEW_PROCESS_GROUP;
static_assert(CORE_CREATION_FLAGS == 0x08000200);

inline constexpr const char* CORE_DNS_VARIABLE = "ENABLE_DEPRECATED_LEGACY_DNS_SERVERS";

inline constexpr std::chrono::milliseconds CORE_STOP_WAIT{3000};
inline constexpr std::chrono::milliseconds CORE_STOP_POLL{50};
// The exit code the termination road gives the core.
inline constexpr std::uint32_t CORE_TERMINATE_EXIT_CODE = 1;

// How long the pumps of an exited core are waited for, and the exit watch's
// step while it waits.
inline constexpr std::chrono::milliseconds OUTPUT_DRAIN_WAIT{1000};
inline constexpr std::chrono::milliseconds OUTPUT_DRAIN_POLL{20};
// The step of a stop's wait for the pumps of a core it ended: the pumps
// normally end within a few milliseconds of the exit.
inline constexpr std::chrono::milliseconds OUTPUT_RELEASE_POLL{5};

// Bytes read from a core pipe at a time.
inline constexpr std::size_t CORE_PIPE_READ_SIZE = 8192;
// The longest line a pump keeps before it logs what it has as one line. A
// line end the core never writes must not grow the helper without bound.
inline constexpr std::size_t CORE_LINE_LIMIT = 8192;

// The description of a core process for `program`, without its arguments,
// folder or environment: null input, piped output and error, no window, its
// own process group.
platform::ChildCommand core_command(std::string program);

// The launch's full description: "run", "-c" and the configuration path, the
// core folder as working directory, the helper's environment with the legacy
// DNS variable set. The core starts held: it runs only once the launch has
// recorded it and let it go (lift_kill_on_close, then resume).
platform::ChildCommand core_launch_command(std::string image_path, std::string config_path, std::string core_folder);

// "exit code: {}": decimal, or "0x" and lower-case hexadecimal when bit 31 is
// set (the system's NTSTATUS-style codes).
std::string exit_code_text(std::uint32_t code);

// Polls the exit check every 50 ms for up to 3 s; true when the child was seen
// exited. A failing check counts as not exited. The last check comes at or
// just after the deadline, so an exit in the final sleep is still seen.
bool wait_for_exit(platform::ChildProcess& child, Clock& clock);

struct ChildStopped {
  bool forced = false;  // the child had to be terminated
};
// The exit could not be proved; the child comes back with its handles open.
struct ChildUnconfirmed {
  std::unique_ptr<platform::ChildProcess> child;
};
using ChildStop = std::variant<ChildStopped, ChildUnconfirmed>;

// Ctrl-Break and 3 s, then termination with exit code 1 and another 3 s. A
// child already exited gets no Ctrl-Break; an exit check that fails is never
// taken as an exit.
ChildStop stop_child(std::unique_ptr<platform::ChildProcess> child, platform::ConsoleControl& console, Clock& clock);

// A child started held that was never resumed: it has run nothing, not even a
// Ctrl-Break handler, so it is terminated with exit code 1 at once and its
// exit waited for as stop_child waits.
ChildStop stop_held_child(std::unique_ptr<platform::ChildProcess> child, Clock& clock);

// The body of one pump thread: reads `pipe` to its end, a read error or the
// first line that is not UTF-8; classifies every line into `watch` before the
// line reaches the log as "[core:{label}] {line}".
void pump_core_output(std::string_view label, SharedLog& log, platform::OutputPipe& pipe, OutputWatch& watch);

// After the core's exit: tells its pumps to read what the pipes hold and end,
// and waits for them up to OUTPUT_DRAIN_WAIT, telling them again at every
// `poll` (a pump may have been just about to wait). True when all ended.
bool release_output_pumps(OutputWatch& watch, Clock& clock, std::chrono::milliseconds poll);

// Start one detached pump thread labelled "out" or "err" through `threads`.
// `live_readers` is raised before the thread starts and lowered when it ends;
// when the thread cannot be started, whatever was thrown, it is lowered again
// and the error returned.
Status spawn_stdout_pump(std::shared_ptr<SharedLog> log, std::unique_ptr<platform::OutputPipe> pipe,
                         std::shared_ptr<OutputWatch> watch, platform::Processes& threads);
Status spawn_stderr_pump(std::shared_ptr<SharedLog> log, std::unique_ptr<platform::OutputPipe> pipe,
                         std::shared_ptr<OutputWatch> watch, platform::Processes& threads);

// The text of the exception in flight, for a thread that could not start:
// what() of a standard exception, else "unknown error".
std::string thread_start_error_text(std::exception_ptr error);

}  // namespace vorn
