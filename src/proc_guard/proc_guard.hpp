// Ownership records of the core process: who we started, proved again before
// anything is done to a process id. Fail-closed throughout: whatever cannot be
// read or proved keeps the record and is reported as unconfirmed, so that the
// callers refuse to go on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/platform.hpp"

namespace vorn {

struct ProcRecord {
  std::uint32_t pid = 0;
  std::uint64_t created = 0;  // creation FILETIME value
  std::string path;           // Win32 image path as the system reported it
  friend bool operator==(const ProcRecord&, const ProcRecord&) = default;
};

// A record that can prove anything: pid, creation time and path all known.
bool is_complete(const ProcRecord& record);

// The one compact object {"pid":..,"created":..,"path":".."}, keys in this
// order, no blanks and no line end.
std::string serialize_proc_record(const ProcRecord& record);

// Strict: one JSON object and only white space after it; the three keys in any
// order, each exactly once, other keys ignored; integers in range.
std::optional<ProcRecord> parse_proc_record(std::string_view text);

struct ProcessIdentity {
  std::string path;  // empty once the process has exited
  std::uint64_t created = 0;
  bool alive = false;
  friend bool operator==(const ProcessIdentity&, const ProcessIdentity&) = default;
};

namespace record_outcome {
struct Absent {
  friend bool operator==(const Absent&, const Absent&) = default;
};
// The record does not name a live process of ours; no process was touched.
struct Stale {
  std::string reason;
  friend bool operator==(const Stale&, const Stale&) = default;
};
// Ownership neither proved nor disproved, or the termination was refused.
struct Unconfirmed {
  std::string reason;
  friend bool operator==(const Unconfirmed&, const Unconfirmed&) = default;
};
struct Terminated {
  bool exited_in_time = false;
  friend bool operator==(const Terminated&, const Terminated&) = default;
};
}  // namespace record_outcome

using RecordOutcome =
    std::variant<record_outcome::Absent, record_outcome::Stale, record_outcome::Unconfirmed, record_outcome::Terminated>;

// Every reason text an outcome can carry.
namespace record_reasons {
inline constexpr const char* INCOMPLETE = "record is incomplete";
inline constexpr const char* NAMES_OTHER_EXECUTABLE = "record names a different executable";
inline constexpr const char* GONE_OR_UNINSPECTABLE = "process is gone or cannot be inspected";
inline constexpr const char* ALREADY_EXITED = "process has already exited";
inline constexpr const char* PID_REUSED = "PID now belongs to another process";
inline constexpr const char* RUNS_OTHER_EXECUTABLE = "process runs a different executable";
inline constexpr const char* STILL_ALIVE = "own recorded process is still alive";
inline constexpr const char* CANNOT_INSPECT = "recorded process identity cannot be inspected";
inline constexpr const char* CANNOT_INSPECT_FOR_TEARDOWN = "recorded process identity cannot be inspected for teardown";
inline constexpr const char* TERMINATE_REFUSED = "TerminateProcess was refused";
inline constexpr const char* UNREADABLE = "record is unreadable";
inline constexpr const char* ABSENCE_UNKNOWN = "record absence cannot be inspected";
}  // namespace record_reasons

// How long a teardown waits for the terminated process to exit.
struct WaitSpan {
  std::uint64_t seconds = 0;
  std::uint32_t nanoseconds = 0;
};

// Whole milliseconds, capped one below the infinite wait.
std::uint32_t wait_milliseconds(WaitSpan wait);

// Comparison key of an image path: trimmed, without the \\?\ prefix, with
// backslashes only, no trailing backslash, lower-cased by the Unicode mapping.
std::string normalize_path_key(std::string_view path);

// Equal keys that are not empty: two empty paths never name the same image.
bool same_image_path(std::string_view a, std::string_view b);

// None when the times, the image path or the exit code cannot be read.
std::optional<ProcessIdentity> probe_process_identity(platform::ProcessHandle& process);

// Records the process just started as `pid`; when its identity cannot be read
// nothing is recorded and any older record at the path is deleted.
std::optional<ProcRecord> record_process(platform::Platform& platform, std::string_view record_path, std::uint32_t pid);

std::optional<ProcRecord> read_proc_record(platform::FileSystem& files, std::string_view record_path);

// A failure, a missing file included, is not reported: the file is met again
// by the next check.
void remove_proc_record(platform::FileSystem& files, std::string_view record_path);

// The first check that fails, or none when the record names this live process
// running the expected image.
std::optional<std::string> verify_proc_record(const ProcRecord& record, std::string_view expected,
                                              const std::optional<ProcessIdentity>& identity);

// Stale or Unconfirmed; never waits.
RecordOutcome check_recorded_process(platform::Processes& processes, const ProcRecord& record,
                                     std::string_view expected);

// Terminates the recorded process only when it is proved ours; blocks for at
// most `wait`.
RecordOutcome terminate_recorded_process(platform::Processes& processes, const ProcRecord& record,
                                         std::string_view expected, WaitSpan wait);

// Deletes the record when it turns out stale.
RecordOutcome ensure_recorded_process_gone(platform::Platform& platform, std::string_view record_path,
                                           std::string_view expected);

// Deletes the record when it turns out stale or its process exited in time.
RecordOutcome teardown_recorded_process(platform::Platform& platform, std::string_view record_path,
                                        std::string_view expected, WaitSpan wait);

// "Absent", "Stale(reason)", ... for logs and test failure messages.
std::string describe_outcome(const RecordOutcome& outcome);

}  // namespace vorn
