#include "proc_guard/proc_guard.hpp"

#include <algorithm>
#include <array>
#include <limits>

#include "support/json.hpp"
#include "support/path_text.hpp"
#include "support/text.hpp"

namespace vorn {
namespace {

using record_outcome::Absent;
using record_outcome::Stale;
using record_outcome::Terminated;
using record_outcome::Unconfirmed;
namespace reasons = record_reasons;

constexpr std::uint32_t MAX_WAIT_MS = 0xFFFFFFFE;  // one below INFINITE

// Reads the record with the library's event interface, so that a repeated key
// is seen (the tree builder would keep the last one) and no tree is built for
// keys that are ignored.
class RecordReader {
 public:
  bool null() { return scalar(); }
  bool boolean(bool) { return scalar(); }
  bool number_integer(Json::number_integer_t v) {
    // Only -0 reaches here as an integer that is not negative.
    if (depth_ == 1 && field_ != Field::None && field_ != Field::Path && v == 0) return take_number(0);
    return scalar();
  }
  bool number_unsigned(Json::number_unsigned_t v) {
    if (depth_ == 1 && field_ != Field::None && field_ != Field::Path) return take_number(v);
    return scalar();
  }
  bool number_float(Json::number_float_t, const Json::string_t&) { return scalar(); }
  bool string(Json::string_t& v) {
    if (depth_ == 1 && field_ == Field::Path) {
      record_.path = std::move(v);
      seen_[2] = true;
      field_ = Field::None;
      return true;
    }
    return scalar();
  }
  bool binary(Json::binary_t&) { return false; }
  bool key(Json::string_t& k) {
    if (depth_ != 1) return true;
    static constexpr std::array<std::string_view, 3> names = {"pid", "created", "path"};
    field_ = Field::None;
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (k != names[i]) continue;
      if (seen_[i]) return false;  // a repeated key
      field_ = static_cast<Field>(i + 1);
    }
    return true;
  }
  bool start_object(std::size_t) { return open(); }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return depth_ > 0 && open(); }  // the top level is an object
  bool end_array() { return close(); }
  template <class Exception>
  bool parse_error(std::size_t, const std::string&, const Exception&) {
    return false;
  }

  std::optional<ProcRecord> result() const {
    if (!seen_[0] || !seen_[1] || !seen_[2]) return std::nullopt;
    return record_;
  }

 private:
  enum class Field { None, Pid, Created, Path };

  // A declared key with a value of the wrong type refuses the record; any
  // value of an ignored key is skipped.
  bool scalar() {
    if (depth_ == 0) return false;
    if (depth_ == 1 && field_ != Field::None) return false;
    return true;
  }
  bool take_number(std::uint64_t v) {
    if (field_ == Field::Pid) {
      if (v > std::numeric_limits<std::uint32_t>::max()) return false;
      record_.pid = static_cast<std::uint32_t>(v);
      seen_[0] = true;
    } else {
      record_.created = v;
      seen_[1] = true;
    }
    field_ = Field::None;
    return true;
  }
  bool open() {
    if (depth_ == 1 && field_ != Field::None) return false;
    // Deeper text is unreadable, as a request line is: an ignored key's
    // value counts too.
    if (depth_ >= JSON_MAX_OPEN_LEVELS) return false;
    ++depth_;
    return true;
  }
  bool close() {
    --depth_;
    if (depth_ == 1) field_ = Field::None;
    return true;
  }

  std::size_t depth_ = 0;
  Field field_ = Field::None;
  std::array<bool, 3> seen_{};
  ProcRecord record_;
};

}  // namespace

bool is_complete(const ProcRecord& record) { return record.pid != 0 && record.created != 0 && !record.path.empty(); }

std::string serialize_proc_record(const ProcRecord& record) {
  std::string out = "{\"pid\":" + std::to_string(record.pid) + ",\"created\":" + std::to_string(record.created) +
                    ",\"path\":";
  out += Json(record.path).dump(-1, ' ', false, Json::error_handler_t::replace);
  out += '}';
  return out;
}

std::optional<ProcRecord> parse_proc_record(std::string_view text) {
  // The library skips a byte-order mark and stops at a NUL byte; neither
  // belongs in a record.
  if (text.starts_with("\xEF\xBB\xBF") || text.find('\0') != std::string_view::npos) return std::nullopt;
  RecordReader reader;
  if (!Json::sax_parse(text.begin(), text.end(), &reader)) return std::nullopt;
  return reader.result();
}

std::uint32_t wait_milliseconds(WaitSpan wait) {
  constexpr std::uint64_t cap = MAX_WAIT_MS;
  if (wait.seconds > cap / 1000) return MAX_WAIT_MS;
  const std::uint64_t ms = wait.seconds * 1000 + wait.nanoseconds / 1'000'000;
  return static_cast<std::uint32_t>(std::min(ms, cap));
}

std::string normalize_path_key(std::string_view path) {
  std::string_view s = text::trim(path);
  if (s.size() > 3 && s.starts_with("\\\\?\\")) s.remove_prefix(4);
  std::string key(s);
  for (char& c : key) {
    if (c == '/') c = '\\';
  }
  while (!key.empty() && key.back() == '\\') key.pop_back();
  return text::to_lower(key);
}

bool same_image_path(std::string_view a, std::string_view b) {
  const std::string key = normalize_path_key(a);
  return !key.empty() && key == normalize_path_key(b);
}

std::optional<ProcessIdentity> probe_process_identity(platform::ProcessHandle& process) {
  auto times = process.times();
  if (!times) return std::nullopt;
  // An exited process may no longer report an image; its exit time is proof
  // enough that it is not running.
  if (times->exited != 0) return ProcessIdentity{"", times->created, false};
  auto path = process.image_path();
  if (!path) return std::nullopt;
  auto code = process.exit_code();
  if (!code) return std::nullopt;
  return ProcessIdentity{std::move(*path), times->created, *code == platform::PROCESS_STILL_ACTIVE};
}

std::optional<ProcRecord> record_process(platform::Platform& platform, std::string_view record_path, std::uint32_t pid) {
  std::optional<ProcessIdentity> identity;
  if (pid != 0) {
    if (auto process = platform.processes.open_process(pid, platform::PROCESS_ACCESS_QUERY_LIMITED)) {
      identity = probe_process_identity(**process);
    }
  }
  if (!identity || !identity->alive || identity->created == 0 || identity->path.empty()) {
    // An older record must not outlive the process it named in place of one
    // that cannot be written.
    remove_proc_record(platform.files, record_path);
    return std::nullopt;
  }
  ProcRecord record{pid, identity->created, std::move(identity->path)};
  const std::string temporary = with_extension(record_path, "pid.tmp");
  if (!platform.files.write_file(temporary, serialize_proc_record(record)) ||
      !platform.files.rename_over(temporary, record_path)) {
    (void)platform.files.remove_file(temporary);
    return std::nullopt;
  }
  return record;
}

std::optional<ProcRecord> read_proc_record(platform::FileSystem& files, std::string_view record_path) {
  auto text = files.read_file(record_path);
  if (!text) return std::nullopt;
  return parse_proc_record(*text);
}

void remove_proc_record(platform::FileSystem& files, std::string_view record_path) {
  (void)files.remove_file(record_path);
}

std::optional<std::string> verify_proc_record(const ProcRecord& record, std::string_view expected,
                                              const std::optional<ProcessIdentity>& identity) {
  if (record.created == 0 || record.pid == 0) return reasons::INCOMPLETE;
  if (!same_image_path(record.path, expected)) return reasons::NAMES_OTHER_EXECUTABLE;
  if (!identity) return reasons::GONE_OR_UNINSPECTABLE;
  if (!identity->alive) return reasons::ALREADY_EXITED;
  if (identity->created != record.created) return reasons::PID_REUSED;
  if (!same_image_path(identity->path, expected)) return reasons::RUNS_OTHER_EXECUTABLE;
  return std::nullopt;
}

namespace {

// What opening and probing a recorded process showed.
struct Inspection {
  std::unique_ptr<platform::ProcessHandle> handle;
  std::optional<ProcessIdentity> identity;
  bool proven_missing = false;  // OpenProcess failed with 87: no process has the id
};

Inspection inspect(platform::Processes& processes, std::uint32_t pid, std::uint32_t access) {
  Inspection seen;
  auto opened = processes.open_process(pid, access);
  if (!opened) {
    seen.proven_missing = opened.error().os_code() == platform::ERROR_CODE_INVALID_PARAMETER;
    return seen;
  }
  seen.handle = std::move(*opened);
  seen.identity = probe_process_identity(*seen.handle);
  return seen;
}

}  // namespace

RecordOutcome check_recorded_process(platform::Processes& processes, const ProcRecord& record,
                                     std::string_view expected) {
  Inspection seen;
  if (record.pid != 0) {
    seen = inspect(processes, record.pid, platform::PROCESS_ACCESS_QUERY_LIMITED);
    seen.handle.reset();
  }
  if (!is_complete(record)) return Unconfirmed{reasons::INCOMPLETE};
  const auto reason = verify_proc_record(record, expected, seen.identity);
  if (!reason) return Unconfirmed{reasons::STILL_ALIVE};
  if (*reason == reasons::GONE_OR_UNINSPECTABLE && !seen.proven_missing) return Unconfirmed{reasons::CANNOT_INSPECT};
  return Stale{*reason};
}

RecordOutcome terminate_recorded_process(platform::Processes& processes, const ProcRecord& record,
                                         std::string_view expected, WaitSpan wait) {
  if (record.pid == 0) return Unconfirmed{reasons::CANNOT_INSPECT_FOR_TEARDOWN};
  Inspection seen = inspect(processes, record.pid,
                            platform::PROCESS_ACCESS_SYNCHRONIZE | platform::PROCESS_ACCESS_TERMINATE |
                                platform::PROCESS_ACCESS_QUERY_LIMITED);
  if (record.created != 0 && !record.path.empty()) {
    if (auto reason = verify_proc_record(record, expected, seen.identity)) {
      if (*reason != reasons::GONE_OR_UNINSPECTABLE || seen.proven_missing) return Stale{*reason};
    }
  }
  if (!seen.identity) return Unconfirmed{reasons::CANNOT_INSPECT_FOR_TEARDOWN};
  // Here an incomplete record of a readable process ends as stale.
  if (auto reason = verify_proc_record(record, expected, seen.identity)) return Stale{*reason};
  if (!seen.handle->terminate(1)) return Unconfirmed{reasons::TERMINATE_REFUSED};
  return Terminated{seen.handle->wait(wait_milliseconds(wait)) == platform::WaitOutcome::Signaled};
}

namespace {

// The record and the outcome it already decided, if any.
struct Loaded {
  std::optional<ProcRecord> record;
  std::optional<RecordOutcome> outcome;
};

Loaded load_record(platform::FileSystem& files, std::string_view record_path) {
  auto record = read_proc_record(files, record_path);
  if (!record) {
    switch (files.presence(record_path)) {
      case platform::Presence::Unknown:
        return {std::nullopt, Unconfirmed{reasons::ABSENCE_UNKNOWN}};
      case platform::Presence::Present:
        return {std::nullopt, Unconfirmed{reasons::UNREADABLE}};
      case platform::Presence::Absent:
        return {std::nullopt, Absent{}};
    }
  }
  if (!is_complete(*record)) return {std::nullopt, Unconfirmed{reasons::INCOMPLETE}};
  return {std::move(record), std::nullopt};
}

}  // namespace

RecordOutcome ensure_recorded_process_gone(platform::Platform& platform, std::string_view record_path,
                                           std::string_view expected) {
  Loaded loaded = load_record(platform.files, record_path);
  if (loaded.outcome) return *loaded.outcome;
  RecordOutcome outcome = check_recorded_process(platform.processes, *loaded.record, expected);
  if (std::holds_alternative<Stale>(outcome)) remove_proc_record(platform.files, record_path);
  return outcome;
}

RecordOutcome teardown_recorded_process(platform::Platform& platform, std::string_view record_path,
                                        std::string_view expected, WaitSpan wait) {
  Loaded loaded = load_record(platform.files, record_path);
  if (loaded.outcome) return *loaded.outcome;
  RecordOutcome outcome = terminate_recorded_process(platform.processes, *loaded.record, expected, wait);
  const auto* terminated = std::get_if<Terminated>(&outcome);
  if (std::holds_alternative<Stale>(outcome) || (terminated != nullptr && terminated->exited_in_time)) {
    remove_proc_record(platform.files, record_path);
  }
  return outcome;
}

std::string describe_outcome(const RecordOutcome& outcome) {
  return std::visit(
      [](const auto& o) -> std::string {
        using T = std::decay_t<decltype(o)>;
        if constexpr (std::is_same_v<T, Absent>) {
          return "Absent";
        } else if constexpr (std::is_same_v<T, Stale>) {
          return "Stale(" + o.reason + ")";
        } else if constexpr (std::is_same_v<T, Unconfirmed>) {
          return "Unconfirmed(" + o.reason + ")";
        } else {
          return std::string("Terminated(") + (o.exited_in_time ? "true" : "false") + ")";
        }
      },
      outcome);
}

}  // namespace vorn
