// Child processes: short helper programs run to completion, the proxy core,
// process identity for ownership proofs, and console control for stops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/error.hpp"

namespace vorn::platform {

struct CapturedRun {
  std::uint32_t exit_code = 0;
  std::string output;  // standard output then standard error
};

// An entry of the system's process list.
struct ProcessEntry {
  std::uint32_t pid = 0;
  std::string exe_name;
};

// What can be learned about a running process, for ownership records.
struct ProcessIdentity {
  std::uint64_t created = 0;  // FILETIME ticks
  std::string image_path;
};

// Access rights for open_process, as the system defines them.
inline constexpr std::uint32_t PROCESS_ACCESS_TERMINATE = 0x0001;
inline constexpr std::uint32_t PROCESS_ACCESS_QUERY_LIMITED = 0x1000;
inline constexpr std::uint32_t PROCESS_ACCESS_SYNCHRONIZE = 0x00100000;

// The exit code a process reports while it runs.
inline constexpr std::uint32_t PROCESS_STILL_ACTIVE = 259;

// Opening a process id that no process has fails with this code, and only
// then is the absence proven.
inline constexpr std::uint32_t ERROR_CODE_INVALID_PARAMETER = 87;

// GetProcessTimes: FILETIME values as one number each; `exited` is 0 while
// the process runs.
struct ProcessTimes {
  std::uint64_t created = 0;
  std::uint64_t exited = 0;
};

enum class WaitOutcome { Signaled, TimedOut, Failed };

// An open process handle; closed when the object goes.
class ProcessHandle {
 public:
  virtual ~ProcessHandle() = default;
  virtual Result<ProcessTimes> times() = 0;
  // QueryFullProcessImageNameW, Win32 path form, into 32,768 units; invalid
  // UTF-16 becomes U+FFFD.
  virtual Result<std::string> image_path() = 0;
  virtual Result<std::uint32_t> exit_code() = 0;
  virtual Status terminate(std::uint32_t exit_code) = 0;
  virtual WaitOutcome wait(std::uint32_t timeout_ms) = 0;
};

// The helper's read end of a child's output pipe; closed with the object.
class OutputPipe {
 public:
  virtual ~OutputPipe() = default;
  // Up to `buffer.size()` bytes; 0 once the child's end is closed (normally
  // at its exit). An interrupted read is retried inside.
  virtual Result<std::size_t> read(std::span<char> buffer) = 0;
  // For a child that is gone while something else still holds the write end
  // (a console host, a process the child started): from now on reads return
  // what the pipe already holds and then 0, and a read waiting on another
  // thread is woken. Safe to call from any thread, any number of times.
  virtual void stop_waiting() = 0;
};

// CREATE_NO_WINDOW and CREATE_NEW_PROCESS_GROUP as the system defines them.
inline constexpr std::uint32_t CREATE_FLAG_NO_WINDOW = 0x08000000;
inline constexpr std::uint32_t CREATE_FLAG_NEW_PROCESS_GROUP = 0x00000200;

// How to start a long-running child: standard input is always the null device
// and standard output and error always two pipes to the helper; the child
// inherits those three handles and no other.
struct ChildCommand {
  std::string program;  // full path
  std::vector<std::string> args;
  std::string working_dir;
  // Set on top of the helper's own environment, replacing a variable of the
  // same name.
  std::vector<std::pair<std::string, std::string>> env_overrides;
  std::uint32_t creation_flags = 0;
  // Start the child suspended (CREATE_SUSPENDED on top of the flags above),
  // inside a job of its own that kills it as soon as the helper's handle to
  // the job closes, also when the helper dies. It runs only once
  // lift_kill_on_close and resume have been called, so nothing of it runs
  // before the helper has written down that it owns it.
  bool start_held = false;
};

// A launched child whose handles the engine owns until its exit is confirmed.
// Dropping it closes the handles and whatever pipe ends it still holds; it
// never stops the process.
class ChildProcess {
 public:
  virtual ~ChildProcess() = default;
  // GetProcessId of the held handle.
  virtual std::uint32_t pid() const = 0;
  // WaitForSingleObject with no wait, then GetExitCodeProcess: nullopt while
  // the child runs, its exit code once it has exited, an error with the
  // system's code when either call fails.
  virtual Result<std::optional<std::uint32_t>> exit_status() = 0;
  virtual Status terminate(std::uint32_t exit_code) = 0;
  // For a child started held: SetInformationJobObject clears the job's
  // kill-on-close limit, so that the child outlives the helper from then on.
  // A child not started held has no limit to lift.
  virtual Status lift_kill_on_close() { return {}; }
  // For a child started held: ResumeThread on its main thread. A child not
  // started held runs already.
  virtual Status resume() { return {}; }
  // Hand the pipe ends over once; later calls give null.
  virtual std::unique_ptr<OutputPipe> take_stdout() = 0;
  virtual std::unique_ptr<OutputPipe> take_stderr() = 0;
};

// Why a process snapshot gave no list: no snapshot at all, or a walk that
// broke off before the system said there were no more entries.
enum class SnapshotFailure { Unavailable, Incomplete };

struct ProcessSnapshot {
  std::vector<ProcessEntry> entries;  // as far as the walk came
  std::optional<SnapshotFailure> failure;
};

class Processes {
 public:
  virtual ~Processes() = default;
  // Starts `program` by name without a window and without a shell, standard
  // input from the null device, output captured; waits for its end.
  virtual Result<CapturedRun> run_hidden(const std::string& program, const std::vector<std::string>& args) = 0;
  virtual std::uint32_t current_pid() = 0;
  // OpenProcess, not inheritable; a failure keeps the system's code (87 when
  // no process has the id).
  virtual Result<std::unique_ptr<ProcessHandle>> open_process(std::uint32_t pid, std::uint32_t access) = 0;
  virtual Result<std::unique_ptr<ChildProcess>> spawn(const ChildCommand& command) = 0;
  // The system's process list by Toolhelp, telling a missing snapshot from a
  // broken walk.
  virtual ProcessSnapshot snapshot_processes() = 0;
  // Runs `body` on a new detached thread: the threads that serve a child (its
  // output pumps, its exit watch). Throws what the thread start throws.
  virtual void start_detached_thread(std::move_only_function<void()> body) { std::thread(std::move(body)).detach(); }
};

}  // namespace vorn::platform
