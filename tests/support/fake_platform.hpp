// In-memory fakes of the platform seam for native unit tests.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <span>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/platform.hpp"
#include "support/fake_network.hpp"

namespace vorn::testing {

class FakeFileSystem final : public platform::FileSystem {
 public:
  std::map<std::string, std::string> files;
  std::set<std::string> directories;
  std::set<std::string> unreadable;  // paths whose reads fail
  bool writes_fail = false;
  std::set<std::string> failing_writes;   // writes to these paths fail
  std::set<std::string> failing_renames;  // renames onto these paths fail
  std::set<std::string> presence_unknown;  // the existence query fails
  std::map<std::string, std::string> not_regular;  // path -> why it is no regular file
  std::map<std::string, std::uint64_t> modified;   // last-write time per path, 0 when not set
  std::map<std::string, int> content_reads;        // whole-file reads per path
  int metadata_queries = 0;                        // target_metadata calls
  std::vector<std::pair<std::string, std::string>> renamed;  // from, to; the successful ones
  std::set<std::string> failing_directories;                 // creating these fails
  std::map<std::string, std::uint64_t> read_limits;          // the limit of each bounded read

  Result<std::string> read_file(std::string_view path) override {
    const std::string p(path);
    ++content_reads[p];
    if (unreadable.count(p) || !files.count(p)) return fail(Error::os(2, "The system cannot find the file specified."));
    return files[p];
  }
  Status write_file(std::string_view path, std::string_view bytes) override {
    if (writes_fail || failing_writes.count(std::string(path))) return fail(Error::os(5, "Access is denied."));
    files[std::string(path)] = std::string(bytes);
    return {};
  }
  Status append_file(std::string_view path, std::string_view bytes) override {
    if (writes_fail) return fail(Error::os(5, "Access is denied."));
    files[std::string(path)] += std::string(bytes);
    return {};
  }
  Status create_directories(std::string_view path) override {
    if (failing_directories.count(std::string(path))) return fail(Error::os(5, "Access is denied."));
    directories.insert(std::string(path));
    return {};
  }
  Status rename_over(std::string_view from, std::string_view to) override {
    if (failing_renames.count(std::string(to))) return fail(Error::os(5, "Access is denied."));
    auto it = files.find(std::string(from));
    if (it == files.end()) return fail(Error::os(2, "The system cannot find the file specified."));
    files[std::string(to)] = it->second;
    files.erase(it);
    renamed.emplace_back(std::string(from), std::string(to));
    return {};
  }
  Status remove_file(std::string_view path) override {
    files.erase(std::string(path));
    return {};
  }
  Result<platform::FileMeta> metadata(std::string_view path) override {
    const std::string p(path);
    if (directories.count(p)) return platform::FileMeta{0, 0, true, false};
    auto it = files.find(p);
    if (it == files.end()) return fail(Error::os(2, "The system cannot find the file specified."));
    return platform::FileMeta{it->second.size(), 0, false, false};
  }
  Result<platform::FileMeta> target_metadata(std::string_view path) override {
    ++metadata_queries;
    const std::string p(path);
    if (dangling.count(p)) return fail(Error::os(2, "The system cannot find the file specified."));
    auto it = files.find(p);
    if (it == files.end()) return fail(Error::os(2, "The system cannot find the file specified."));
    return platform::FileMeta{it->second.size(), modified.count(p) ? modified[p] : 0, false, false};
  }
  platform::Presence presence(std::string_view path) override {
    const std::string p(path);
    if (presence_unknown.count(p)) return platform::Presence::Unknown;
    return files.count(p) || directories.count(p) ? platform::Presence::Present : platform::Presence::Absent;
  }
  Result<std::string> read_regular_file(std::string_view path, std::uint64_t max_bytes) override {
    const std::string p(path);
    read_limits[p] = max_bytes;
    if (directories.count(p)) return fail("the path names a directory, not a regular file");
    if (auto it = not_regular.find(p); it != not_regular.end()) return fail(it->second);
    auto it = files.find(p);
    if (it != files.end() && it->second.size() > max_bytes) {
      return fail("the file is larger than " + std::to_string(max_bytes) + " bytes");
    }
    return read_file(path);
  }
  std::set<std::string> dangling;  // links whose target is gone
  std::set<std::string> read_errors;  // opened, but reading fails
  std::vector<std::size_t> read_sizes;  // every read's requested size
  Result<std::unique_ptr<platform::FileReader>> open_read(std::string_view path) override {
    const std::string p(path);
    if (unreadable.count(p) || !files.count(p)) return fail(Error::os(2, "The system cannot find the file specified."));
    return std::unique_ptr<platform::FileReader>(new Reader(*this, files[p], read_errors.count(p) > 0));
  }
  std::map<std::string, std::uint32_t> reparse_tags;  // entries that are reparse points, by tag
  std::set<std::string> append_metadata_fails;        // opened for appending, but the handle cannot be queried
  std::vector<std::string> append_opens;              // every open for appending, in order
  Result<std::unique_ptr<platform::AppendFile>> open_append(std::string_view path) override {
    const std::string p(path);
    append_opens.push_back(p);
    if (writes_fail) return fail(Error::os(5, "Access is denied."));
    // A reparse point is opened itself; its content is not what `files` holds.
    if (!directories.count(p) && !reparse_tags.count(p)) files[p];
    return std::unique_ptr<platform::AppendFile>(new Appender(*this, p));
  }

 private:
  class Appender final : public platform::AppendFile {
   public:
    Appender(FakeFileSystem& owner, std::string path) : owner_(owner), path_(std::move(path)) {}
    Result<platform::FileMeta> metadata() override {
      if (owner_.append_metadata_fails.count(path_)) return fail(Error::os(6, "The handle is invalid."));
      platform::FileMeta meta;
      meta.is_directory = owner_.directories.count(path_) > 0;
      if (auto tag = owner_.reparse_tags.find(path_); tag != owner_.reparse_tags.end()) {
        meta.reparse_tag = tag->second;
        meta.is_link = platform::is_name_surrogate(tag->second);
      }
      if (auto it = owner_.files.find(path_); it != owner_.files.end()) meta.size = it->second.size();
      return meta;
    }
    Status append(std::string_view bytes) override {
      owner_.files[path_] += std::string(bytes);
      return {};
    }

   private:
    FakeFileSystem& owner_;
    std::string path_;
  };

  class Reader final : public platform::FileReader {
   public:
    Reader(FakeFileSystem& owner, std::string bytes, bool fails) : owner_(owner), bytes_(std::move(bytes)), fails_(fails) {}
    Result<std::size_t> read(std::span<char> buffer) override {
      owner_.read_sizes.push_back(buffer.size());
      if (fails_) return fail(Error::os(23, "Data error (cyclic redundancy check)."));
      const std::size_t n = std::min(buffer.size(), bytes_.size() - at_);
      std::memcpy(buffer.data(), bytes_.data() + at_, n);
      at_ += n;
      return n;
    }

   private:
    FakeFileSystem& owner_;
    std::string bytes_;
    std::size_t at_ = 0;
    bool fails_;
  };
};

class FakeEnvironment final : public platform::Environment {
 public:
  std::map<std::string, std::string> variables;
  std::vector<std::string> arguments{"vorn-helper.exe"};
  bool elevated = true;
  std::string temp = "C:\\Temp\\";

  std::optional<std::string> variable(std::string_view name) override {
    auto it = variables.find(std::string(name));
    if (it == variables.end()) return std::nullopt;
    return it->second;
  }
  std::vector<std::string> command_line() override { return arguments; }
  bool is_elevated() override { return elevated; }
  Result<std::string> temp_dir() override { return temp; }
  std::optional<std::string> own_image = "C:\\Program Files\\Vorn\\vorn-helper.exe";
  Result<std::string> own_image_path() override {
    if (!own_image) return fail(Error::os(122, "The data area passed to a system call is too small."));
    return *own_image;
  }
  // Command lines the test splits itself; others are split at blanks, a
  // leading quoted part kept whole.
  std::map<std::string, std::optional<std::vector<std::string>>> splits;
  std::optional<std::vector<std::string>> split_command_line(std::string_view line) override {
    if (auto it = splits.find(std::string(line)); it != splits.end()) return it->second;
    std::vector<std::string> args;
    std::size_t i = 0;
    while (i < line.size()) {
      if (line[i] == ' ' || line[i] == '\t') {
        ++i;
        continue;
      }
      std::size_t end;
      if (line[i] == '"') {
        end = line.find('"', i + 1);
        if (end == std::string_view::npos) end = line.size();
        args.emplace_back(line.substr(i + 1, end - i - 1));
        i = end + 1;
        continue;
      }
      end = line.find_first_of(" \t", i);
      if (end == std::string_view::npos) end = line.size();
      args.emplace_back(line.substr(i, end - i));
      i = end;
    }
    return args;
  }
};

// Counts up from a seed so that successive UUIDs differ.
class FakeRandom final : public platform::Random {
 public:
  std::uint8_t next = 1;
  bool fails = false;
  Status fill(std::span<std::uint8_t> out) override {
    if (fails) return fail("no entropy");
    for (auto& b : out) b = next++;
    return {};
  }
};

// A scriptable process table: each entry says what opening, reading and
// terminating that process id does.
struct FakeProcess {
  std::uint64_t created = 1000;
  std::uint64_t exited = 0;  // exit time; not 0 once the process has exited
  std::string image_path;
  std::uint32_t exit_code = platform::PROCESS_STILL_ACTIVE;
  std::optional<std::uint32_t> open_error;  // OpenProcess fails with this code
  bool times_fail = false;
  std::optional<std::uint32_t> image_error;  // QueryFullProcessImageNameW fails
  bool exit_code_fails = false;
  bool terminate_refused = false;
  bool exits_on_terminate = true;  // the wait after a termination sees the exit
  bool wait_fails = false;
};

// Holds a pipe's end back, as a grandchild that inherited the write end
// would, until the test opens it.
class PipeGate {
 public:
  bool ignores_stop = false;  // a read that even stop_waiting cannot wake
  void open() {
    {
      std::lock_guard guard(lock_);
      open_ = true;
    }
    opened_.notify_all();
  }
  void wait() {
    std::unique_lock guard(lock_);
    opened_.wait(guard, [&] { return open_; });
  }

 private:
  std::mutex lock_;
  std::condition_variable opened_;
  bool open_ = false;
};

// A child's output stream: the scripted bytes, handed out in reads of at
// most `chunk` bytes, then the end of the stream (or a read error), after
// `gate` opens when there is one.
class FakeOutputPipe final : public platform::OutputPipe {
 public:
  explicit FakeOutputPipe(std::string bytes, std::size_t chunk = 8192, bool error_at_end = false,
                          std::shared_ptr<PipeGate> gate = nullptr)
      : bytes_(std::move(bytes)), chunk_(chunk), error_at_end_(error_at_end), gate_(std::move(gate)) {}
  Result<std::size_t> read(std::span<char> buffer) override {
    if (pos_ >= bytes_.size()) {
      if (gate_) gate_->wait();
      if (stopped_.load()) return std::size_t{0};
      if (error_at_end_) return fail(Error::os(109, "The pipe has been ended."));
      return std::size_t{0};
    }
    const std::size_t n = std::min({buffer.size(), chunk_, bytes_.size() - pos_});
    std::memcpy(buffer.data(), bytes_.data() + pos_, n);
    pos_ += n;
    return n;
  }
  std::size_t consumed() const { return pos_; }
  // The gate stands for a stray writer, which no longer matters once the
  // reader stops waiting; unless it stands for a read that never returns.
  void stop_waiting() override {
    stop_waiting_calls.fetch_add(1);
    if (gate_ && !gate_->ignores_stop) {
      stopped_.store(true);
      gate_->open();
    }
  }
  std::atomic<int> stop_waiting_calls{0};

 private:
  std::string bytes_;
  std::size_t chunk_;
  bool error_at_end_;
  std::shared_ptr<PipeGate> gate_;
  std::atomic<bool> stopped_{false};
  std::size_t pos_ = 0;
};

// What a spawned fake child does; shared between the test and the child
// object the engine holds.
struct FakeChildScript {
  std::optional<std::uint32_t> exit_code;  // nullopt while running
  int exits_after_checks = -1;             // exits (with `later_exit_code`) after this many exit checks
  std::uint32_t later_exit_code = 0;
  bool exit_check_fails = false;
  bool exits_on_ctrl_break = true;
  bool exits_on_terminate = true;
  bool terminate_refused = false;
  bool identity_unreadable = false;  // opening the child's pid fails, so no record can be written
  std::string stdout_bytes;
  std::string stderr_bytes;
  std::shared_ptr<PipeGate> stdout_end;  // standard output ends only once this opens
  bool lift_fails = false;    // lifting the kill-on-close limit fails
  bool resume_fails = false;  // resuming the main thread fails
  // Filled in by the fake.
  int exit_checks = 0;
  bool terminated = false;
  bool released = false;  // the engine dropped its object
  bool held = false;      // started suspended in its kill-on-close job
  bool lifted = false;
  bool resumed = false;
};

class FakeProcesses final : public platform::Processes {
 public:
  struct Call {
    std::string program;
    std::vector<std::string> args;
  };
  std::mutex lock;
  std::vector<Call> calls;
  bool start_fails = false;
  std::map<std::uint32_t, FakeProcess> table;
  std::vector<platform::ProcessEntry> entries;  // what snapshot_processes gives
  std::vector<std::uint32_t> terminated;        // pids, in order
  std::vector<std::uint32_t> wait_timeouts;     // every wait's time-out, in order
  std::vector<std::pair<std::uint32_t, std::uint32_t>> opened;  // pid, access
  int open_handles = 0;
  std::uint32_t own_pid = 4242;
  // Children: each spawn takes the next script (a running child by default)
  // and the next pid from 7000.
  std::vector<platform::ChildCommand> spawned;
  std::deque<FakeChildScript> next_children;
  std::map<std::uint32_t, std::shared_ptr<FakeChildScript>> children;
  std::uint32_t next_child_pid = 7000;
  std::optional<std::uint32_t> spawn_error;
  // What the engine did to its children, in order: "spawn 7000" (or "spawn
  // held 7000"), "lift 7000", "resume 7000", "terminate 7000". Each call is
  // also handed to `on_child_call`, on the caller's thread, with `lock` held.
  std::vector<std::string> child_calls;
  std::function<void(const std::string&)> on_child_call;
  // Thread starts through start_detached_thread, counted from 0; the one at
  // `failing_thread_start` runs `thread_start_throws` (which throws) instead
  // of starting its thread.
  int thread_starts = 0;
  std::optional<int> failing_thread_start;
  std::function<void()> thread_start_throws = [] {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  };

  void start_detached_thread(std::move_only_function<void()> body) override {
    bool fails = false;
    {
      std::lock_guard guard(lock);
      fails = failing_thread_start == thread_starts++;
    }
    if (fails) thread_start_throws();
    std::thread(std::move(body)).detach();
  }

  Result<std::unique_ptr<platform::ChildProcess>> spawn(const platform::ChildCommand& command) override {
    std::lock_guard guard(lock);
    spawned.push_back(command);
    if (spawn_error) return fail(Error::os(*spawn_error, "spawn refused"));
    auto script = std::make_shared<FakeChildScript>();
    if (!next_children.empty()) {
      *script = std::move(next_children.front());
      next_children.pop_front();
    }
    const std::uint32_t pid = next_child_pid++;
    script->held = command.start_held;
    note_child_call((command.start_held ? "spawn held " : "spawn ") + std::to_string(pid));
    children[pid] = script;
    // The process table knows the child too, for ownership records.
    FakeProcess entry;
    entry.created = 50000 + pid;
    entry.image_path = command.program;
    if (script->identity_unreadable) entry.open_error = 5;
    table[pid] = entry;
    return std::unique_ptr<platform::ChildProcess>(new Child(*this, pid, script));
  }

  // The console's Ctrl-Break reaches the child whose pid leads the group.
  void deliver_ctrl_break(std::uint32_t pid) {
    std::lock_guard guard(lock);
    auto it = children.find(pid);
    if (it != children.end() && it->second->exits_on_ctrl_break && !it->second->exit_code) {
      it->second->exit_code = 0xC000013A;
    }
  }

  // With `lock` held.
  void note_child_call(const std::string& call) {
    child_calls.push_back(call);
    if (on_child_call) on_child_call(call);
  }

  std::shared_ptr<FakeChildScript> child(std::uint32_t pid) {
    std::lock_guard guard(lock);
    auto it = children.find(pid);
    return it == children.end() ? nullptr : it->second;
  }

  Result<platform::CapturedRun> run_hidden(const std::string& program, const std::vector<std::string>& args) override {
    std::lock_guard guard(lock);
    calls.push_back({program, args});
    if (start_fails) return fail(Error::os(2, "The system cannot find the file specified."));
    return platform::CapturedRun{0, "processed file"};
  }
  std::uint32_t current_pid() override { return own_pid; }
  std::optional<platform::SnapshotFailure> snapshot_failure;
  int snapshots = 0;
  platform::ProcessSnapshot snapshot_processes() override {
    ++snapshots;
    if (snapshot_failure == platform::SnapshotFailure::Unavailable) return {{}, snapshot_failure};
    return {entries, snapshot_failure};
  }

  Result<std::unique_ptr<platform::ProcessHandle>> open_process(std::uint32_t pid, std::uint32_t access) override {
    std::lock_guard guard(lock);
    opened.emplace_back(pid, access);
    auto it = table.find(pid);
    if (it == table.end()) return fail(Error::os(87, "The parameter is incorrect."));
    if (it->second.open_error) return fail(Error::os(*it->second.open_error, "refused"));
    return std::unique_ptr<platform::ProcessHandle>(new Handle(*this, pid));
  }

 private:
  class Handle final : public platform::ProcessHandle {
   public:
    Handle(FakeProcesses& owner, std::uint32_t pid) : owner_(owner), pid_(pid) { ++owner_.open_handles; }
    ~Handle() override { --owner_.open_handles; }
    Result<platform::ProcessTimes> times() override {
      auto& p = owner_.table.at(pid_);
      if (p.times_fail) return fail(Error::os(5, "Access is denied."));
      return platform::ProcessTimes{p.created, p.exited};
    }
    Result<std::string> image_path() override {
      auto& p = owner_.table.at(pid_);
      if (p.image_error) return fail(Error::os(*p.image_error, "image unavailable"));
      return p.image_path;
    }
    Result<std::uint32_t> exit_code() override {
      auto& p = owner_.table.at(pid_);
      if (p.exit_code_fails) return fail(Error::os(5, "Access is denied."));
      return p.exit_code;
    }
    Status terminate(std::uint32_t code) override {
      auto& p = owner_.table.at(pid_);
      if (p.terminate_refused) return fail(Error::os(5, "Access is denied."));
      owner_.terminated.push_back(pid_);
      if (p.exits_on_terminate) {
        p.exit_code = code;
        p.exited = p.created + 1;
      }
      return {};
    }
    platform::WaitOutcome wait(std::uint32_t timeout_ms) override {
      owner_.wait_timeouts.push_back(timeout_ms);
      auto& p = owner_.table.at(pid_);
      if (p.wait_fails) return platform::WaitOutcome::Failed;
      return p.exit_code == platform::PROCESS_STILL_ACTIVE ? platform::WaitOutcome::TimedOut
                                                           : platform::WaitOutcome::Signaled;
    }

   private:
    FakeProcesses& owner_;
    std::uint32_t pid_;
  };

  class Child final : public platform::ChildProcess {
   public:
    Child(FakeProcesses& owner, std::uint32_t pid, std::shared_ptr<FakeChildScript> script)
        : owner_(owner), pid_(pid), script_(std::move(script)),
          out_(std::make_unique<FakeOutputPipe>(script_->stdout_bytes, 8192, false, script_->stdout_end)),
          err_(std::make_unique<FakeOutputPipe>(script_->stderr_bytes)) {}
    ~Child() override {
      std::lock_guard guard(owner_.lock);
      script_->released = true;
    }
    std::uint32_t pid() const override { return pid_; }
    Result<std::optional<std::uint32_t>> exit_status() override {
      std::lock_guard guard(owner_.lock);
      auto& s = *script_;
      ++s.exit_checks;
      if (s.exit_check_fails) return fail(Error::os(6, "The handle is invalid."));
      if (!s.exit_code && s.exits_after_checks >= 0 && s.exit_checks > s.exits_after_checks) {
        s.exit_code = s.later_exit_code;
      }
      return s.exit_code;
    }
    Status terminate(std::uint32_t code) override {
      std::lock_guard guard(owner_.lock);
      auto& s = *script_;
      owner_.note_child_call("terminate " + std::to_string(pid_));
      if (s.terminate_refused) return fail(Error::os(5, "Access is denied."));
      s.terminated = true;
      if (s.exits_on_terminate && !s.exit_code) s.exit_code = code;
      return {};
    }
    Status lift_kill_on_close() override {
      return held_start_step("lift", &FakeChildScript::lift_fails, &FakeChildScript::lifted);
    }
    Status resume() override {
      return held_start_step("resume", &FakeChildScript::resume_fails, &FakeChildScript::resumed);
    }
    std::unique_ptr<platform::OutputPipe> take_stdout() override { return std::move(out_); }
    std::unique_ptr<platform::OutputPipe> take_stderr() override { return std::move(err_); }

   private:
    // One step of letting a held child go: noted, then refused when its
    // script says so.
    Status held_start_step(const char* call, bool FakeChildScript::*fails, bool FakeChildScript::*done) {
      std::lock_guard guard(owner_.lock);
      owner_.note_child_call(std::string(call) + " " + std::to_string(pid_));
      if ((*script_).*fails) return fail(Error::os(5, "Access is denied."));
      (*script_).*done = true;
      return {};
    }
    FakeProcesses& owner_;
    std::uint32_t pid_;
    std::shared_ptr<FakeChildScript> script_;
    std::unique_ptr<platform::OutputPipe> out_;
    std::unique_ptr<platform::OutputPipe> err_;
  };
};

// The one registration that the setup modes act on. Each status query takes
// the next entry of `statuses`; the last one repeats.
struct FakeService {
  platform::ServiceConfig config{0x10, 2, 1, "\"C:\\Program Files\\Vorn\\vorn-helper.exe\" run"};
  std::vector<platform::ServiceProcessStatus> statuses{{platform::SERVICE_STATE_STOPPED, 0, 0, 0}};
  std::size_t next_status = 0;
  std::optional<std::size_t> query_fails_at;  // index of the failing query
  std::optional<std::uint32_t> config_error, stop_error, change_error, describe_error, start_error, delete_error;
  std::optional<std::string> description;
};

class FakeServiceManager final : public platform::ServiceManager {
 public:
  static std::unexpected<Error> winapi(std::uint32_t code) {
    return fail(Error::os(code, "system message").context("IO error in winapi call"));
  }

  std::optional<FakeService> service;  // registered under SERVICE_NAME
  std::optional<std::uint32_t> open_database_error, open_service_error, create_error;
  std::optional<std::uint32_t> created_describe_error;  // describe_error of a service created here
  std::vector<std::string> calls;  // in order, with the access rights asked
  std::vector<platform::ServiceRegistration> registrations;  // created or reconfigured
  std::function<void(std::size_t)> on_query;  // before answering query n (from 0)
  std::function<void()> on_stop, on_start;
  std::size_t queries = 0;
  int open_handles = 0;

  Result<std::unique_ptr<platform::ServiceDatabase>> open_database(std::uint32_t access) override {
    calls.push_back("open_database " + std::to_string(access));
    if (open_database_error) return winapi(*open_database_error);
    return std::unique_ptr<platform::ServiceDatabase>(new Database(*this));
  }

  Status dispatcher_result = fail(Error::os(1063, "The service process could not connect to the service controller.")
                                      .context("IO error in winapi call"));
  std::vector<platform::ServiceStatusReport> reports;

  // The handler the service body registered, for a test to send controls.
  std::function<std::uint32_t(std::uint32_t)> control_handler;
  // A report of this state fails as the system's call would.
  std::optional<std::uint32_t> failing_report_state;
  // Runs on the reporting thread after a report was taken.
  std::function<void(const platform::ServiceStatusReport&)> on_report;

  Status run_dispatcher(const std::string&, std::function<void()>) override { return dispatcher_result; }
  Status register_control_handler(const std::string&, std::function<std::uint32_t(std::uint32_t)> handler) override {
    control_handler = std::move(handler);
    return {};
  }
  Status report_status(const platform::ServiceStatusReport& report) override {
    reports.push_back(report);
    if (on_report) on_report(report);
    if (failing_report_state == report.current_state) return winapi(6);
    return {};
  }
  Status create_service(const platform::ServiceDefinition&) override { return fail("not faked"); }
  Status start_service(const std::string&) override { return fail("not faked"); }
  Status stop_service(const std::string&) override { return fail("not faked"); }
  Result<platform::ServiceProcessStatus> query_service(const std::string&) override { return fail("not faked"); }
  Status delete_service(const std::string&) override { return fail("not faked"); }

 private:
  class Handle final : public platform::Service {
   public:
    explicit Handle(FakeServiceManager& owner) : owner_(owner) { ++owner_.open_handles; }
    ~Handle() override { --owner_.open_handles; }
    FakeService& svc() { return *owner_.service; }
    Result<platform::ServiceProcessStatus> query_status() override {
      owner_.calls.push_back("query_status");
      const std::size_t n = owner_.queries++;
      if (owner_.on_query) owner_.on_query(n);
      if (svc().query_fails_at == n) return winapi(6);
      const std::size_t i = std::min(svc().next_status++, svc().statuses.size() - 1);
      return svc().statuses[i];
    }
    Result<platform::ServiceConfig> query_config() override {
      owner_.calls.push_back("query_config");
      if (svc().config_error) return winapi(*svc().config_error);
      return svc().config;
    }
    Status control_stop() override {
      owner_.calls.push_back("control_stop");
      if (owner_.on_stop) owner_.on_stop();
      if (svc().stop_error) return winapi(*svc().stop_error);
      return {};
    }
    Status change_config(const platform::ServiceRegistration& registration) override {
      owner_.calls.push_back("change_config");
      if (svc().change_error) return winapi(*svc().change_error);
      owner_.registrations.push_back(registration);
      svc().config.binary_path = registration.binary_path;
      return {};
    }
    Status set_description(const std::string& description) override {
      owner_.calls.push_back("set_description");
      if (svc().describe_error) return winapi(*svc().describe_error);
      svc().description = description;
      return {};
    }
    Status start() override {
      owner_.calls.push_back("start");
      if (owner_.on_start) owner_.on_start();
      if (svc().start_error) return winapi(*svc().start_error);
      return {};
    }
    Status remove() override {
      owner_.calls.push_back("remove");
      if (svc().delete_error) return winapi(*svc().delete_error);
      return {};
    }

   private:
    FakeServiceManager& owner_;
  };

  class Database final : public platform::ServiceDatabase {
   public:
    explicit Database(FakeServiceManager& owner) : owner_(owner) { ++owner_.open_handles; }
    ~Database() override { --owner_.open_handles; }
    Result<std::unique_ptr<platform::Service>> open_service(const std::string& name, std::uint32_t access) override {
      owner_.calls.push_back("open_service " + name + " " + std::to_string(access));
      if (owner_.open_service_error) return winapi(*owner_.open_service_error);
      if (!owner_.service) return winapi(platform::ERROR_CODE_SERVICE_DOES_NOT_EXIST);
      return std::unique_ptr<platform::Service>(new Handle(owner_));
    }
    Result<std::unique_ptr<platform::Service>> create_service(const platform::ServiceRegistration& registration,
                                                              std::uint32_t access) override {
      owner_.calls.push_back("create_service " + registration.name + " " + std::to_string(access));
      if (owner_.create_error) return winapi(*owner_.create_error);
      owner_.registrations.push_back(registration);
      owner_.service.emplace();
      owner_.service->config.binary_path = registration.binary_path;
      owner_.service->statuses = {{platform::SERVICE_STATE_STOPPED, 0, 0, 0}};
      owner_.service->describe_error = owner_.created_describe_error;
      return std::unique_ptr<platform::Service>(new Handle(owner_));
    }

   private:
    FakeServiceManager& owner_;
  };
};

class FakePipes final : public platform::Pipes {
 public:
  platform::Pipes* delegate = nullptr;  // a test's own pipes, when set
  Result<std::unique_ptr<platform::PipeSecurity>> security_descriptor(const std::string& sddl) override {
    if (delegate) return delegate->security_descriptor(sddl);
    return fail("not faked");
  }
  Result<std::unique_ptr<platform::PipeInstance>> create_instance(const asio::any_io_executor& executor,
                                                                  const std::string& name,
                                                                  const platform::PipeInstanceParams& params,
                                                                  const platform::PipeSecurity& security) override {
    if (delegate) return delegate->create_instance(executor, name, params, security);
    return fail("not faked");
  }
};

class FakeConsole final : public platform::ConsoleControl {
 public:
  std::vector<std::uint32_t> breaks;  // pids, in order
  bool delivers = true;
  FakeProcesses* children = nullptr;  // whose child receives a delivered event
  bool send_ctrl_break(std::uint32_t pid) override {
    breaks.push_back(pid);
    if (delivers && children != nullptr) children->deliver_ctrl_break(pid);
    return delivers;
  }
};

struct FakePlatform {
  FakeFileSystem files;
  FakeEnvironment environment;
  FakeRandom random;
  FakeProcesses processes;
  FakeServiceManager services;
  FakePipes pipes;
  FakeConsole console;
  FakeDevices devices;
  FakeIpHelper ip_helper;
  platform::Platform platform{files, environment, random, processes, services, pipes, console, devices, ip_helper};
  FakePlatform() { console.children = &processes; }
  FakePlatform(const FakePlatform&) = delete;
  FakePlatform& operator=(const FakePlatform&) = delete;
};

}  // namespace vorn::testing
