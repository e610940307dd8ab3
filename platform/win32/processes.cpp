#include <algorithm>
#include <atomic>
#include <array>
#include <cwctype>
#include <cstddef>
#include <memory>
#include <system_error>
#include <thread>

#include "platform/processes.hpp"
#include "platform/win32/system.hpp"
#include "platform/win32/windows_support.hpp"
#include "support/command_line.hpp"

namespace vorn::platform {
namespace {

using win32::last_error;

struct PipeEnds {
  win32::unique_handle read;
  win32::unique_handle write;  // inheritable: the child's end
};

Result<PipeEnds> make_output_pipe() {
  PipeEnds ends;
  if (!::CreatePipe(ends.read.put(), ends.write.put(), nullptr, 0)) return fail(last_error());
  if (!::SetHandleInformation(ends.write.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) return fail(last_error());
  return ends;
}

Result<win32::unique_hfile> open_null_input() {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  win32::unique_hfile nul(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!nul) return fail(last_error());
  return nul;
}

// A process attribute list that lets the child inherit exactly `handles`, so
// that children started at the same time by other threads never hold each
// other's pipe ends (which would keep a reader waiting for the wrong exit);
// with a job, the child is also created inside that job, so that it never
// exists outside it, not even suspended.
class InheritList {
 public:
  static Result<std::unique_ptr<InheritList>> create(std::array<HANDLE, 3> handles, HANDLE job = nullptr) {
    auto list = std::unique_ptr<InheritList>(new InheritList(handles, job));
    const DWORD count = job != nullptr ? 2 : 1;
    SIZE_T bytes = 0;
    ::InitializeProcThreadAttributeList(nullptr, count, 0, &bytes);
    list->storage_.resize(bytes);
    auto* attributes = list->attributes();
    if (!::InitializeProcThreadAttributeList(attributes, count, 0, &bytes)) return fail(last_error());
    list->initialized_ = true;
    if (!::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, list->handles_.data(),
                                     sizeof(HANDLE) * list->handles_.size(), nullptr, nullptr)) {
      return fail(last_error());
    }
    if (job != nullptr && !::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &list->job_,
                                                       sizeof(HANDLE), nullptr, nullptr)) {
      return fail(last_error());
    }
    return list;
  }

  InheritList(const InheritList&) = delete;
  InheritList& operator=(const InheritList&) = delete;
  ~InheritList() {
    if (initialized_) ::DeleteProcThreadAttributeList(attributes());
  }

  LPPROC_THREAD_ATTRIBUTE_LIST attributes() {
    return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
  }

 private:
  InheritList(std::array<HANDLE, 3> handles, HANDLE job) : handles_(handles), job_(job) {}

  // The list points into `handles_` and `job_`, so both live as long as the
  // list.
  std::array<HANDLE, 3> handles_;
  HANDLE job_;
  std::vector<std::byte> storage_;
  bool initialized_ = false;
};

// A job that kills every process in it when its last handle closes. The
// handle is not inheritable, and the child inherits only its standard
// handles anyway: only the helper holds it, so the helper's death closes it.
Result<win32::unique_handle> make_kill_on_close_job() {
  win32::unique_handle job(::CreateJobObjectW(nullptr, nullptr));
  if (!job) return fail(last_error());
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    return fail(last_error());
  }
  return job;
}

// A child's standard handles: input from the null device, output and error
// into two pipes, and the list that lets the child inherit exactly those.
struct ChildStdio {
  win32::unique_hfile input;
  PipeEnds out;
  PipeEnds err;
  std::unique_ptr<InheritList> inherit;
  STARTUPINFOEXW startup{};

  static Result<ChildStdio> create(HANDLE job = nullptr) {
    ChildStdio stdio;
    auto input = open_null_input();
    if (!input) return fail(std::move(input.error()));
    stdio.input = std::move(*input);
    auto out = make_output_pipe();
    if (!out) return fail(std::move(out.error()));
    stdio.out = std::move(*out);
    auto err = make_output_pipe();
    if (!err) return fail(std::move(err.error()));
    stdio.err = std::move(*err);
    auto inherit = InheritList::create({stdio.input.get(), stdio.out.write.get(), stdio.err.write.get()}, job);
    if (!inherit) return fail(std::move(inherit.error()));
    stdio.inherit = std::move(*inherit);

    stdio.startup.StartupInfo.cb = sizeof(stdio.startup);
    stdio.startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    stdio.startup.StartupInfo.hStdInput = stdio.input.get();
    stdio.startup.StartupInfo.hStdOutput = stdio.out.write.get();
    stdio.startup.StartupInfo.hStdError = stdio.err.write.get();
    // The list lives on the heap, so the pointer survives moves of this record.
    stdio.startup.lpAttributeList = stdio.inherit->attributes();
    return stdio;
  }

  void release_child_ends() {
    input.reset();
    out.write.reset();
    err.write.reset();
  }
};

// Reads to the end of the stream; the end is the writer closing its end.
Status read_to_end(HANDLE pipe, std::string& out) {
  std::array<char, 4096> chunk;
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(pipe, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_BROKEN_PIPE) return {};
      return fail(win32::os_error(error));
    }
    if (got == 0) return {};
    out.append(chunk.data(), got);
  }
}

std::uint64_t filetime_value(const FILETIME& t) {
  return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

class WindowsProcessHandle final : public ProcessHandle {
 public:
  explicit WindowsProcessHandle(win32::unique_handle handle) : handle_(std::move(handle)) {}

  Result<ProcessTimes> times() override {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!::GetProcessTimes(handle_.get(), &created, &exited, &kernel, &user)) return fail(last_error());
    return ProcessTimes{filetime_value(created), filetime_value(exited)};
  }

  Result<std::string> image_path() override {
    std::wstring buffer(32768, L'\0');
    DWORD size = static_cast<DWORD>(buffer.size());
    if (!::QueryFullProcessImageNameW(handle_.get(), 0, buffer.data(), &size)) return fail(last_error());
    buffer.resize(size);
    return win32::narrow(buffer);
  }

  Result<std::uint32_t> exit_code() override {
    DWORD code = 0;
    if (!::GetExitCodeProcess(handle_.get(), &code)) return fail(last_error());
    return static_cast<std::uint32_t>(code);
  }

  Status terminate(std::uint32_t exit_code) override {
    if (!::TerminateProcess(handle_.get(), exit_code)) return fail(last_error());
    return {};
  }

  WaitOutcome wait(std::uint32_t timeout_ms) override {
    switch (::WaitForSingleObject(handle_.get(), timeout_ms)) {
      case WAIT_OBJECT_0:
        return WaitOutcome::Signaled;
      case WAIT_TIMEOUT:
        return WaitOutcome::TimedOut;
      default:
        return WaitOutcome::Failed;
    }
  }

 private:
  win32::unique_handle handle_;
};

class WindowsOutputPipe final : public OutputPipe {
 public:
  explicit WindowsOutputPipe(win32::unique_handle read) : read_(std::move(read)) {}

  Result<std::size_t> read(std::span<char> buffer) override {
    for (;;) {
      DWORD want = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), 0x7fffffff));
      // Once told not to wait, only bytes already in the pipe are read, so
      // that the read cannot block.
      if (stop_waiting_.load()) {
        DWORD available = 0;
        if (!::PeekNamedPipe(read_.get(), nullptr, 0, nullptr, &available, nullptr)) {
          const DWORD error = ::GetLastError();
          if (error == ERROR_BROKEN_PIPE) return std::size_t{0};
          return fail(win32::os_error(error));
        }
        if (available == 0) return std::size_t{0};
        want = std::min(want, available);
      }
      DWORD got = 0;
      if (::ReadFile(read_.get(), buffer.data(), want, &got, nullptr)) return static_cast<std::size_t>(got);
      const DWORD error = ::GetLastError();
      // The writer's end closed: the child exited or closed its stream.
      if (error == ERROR_BROKEN_PIPE) return std::size_t{0};
      // Cancelled by stop_waiting, or interrupted: the flag decides.
      if (error == ERROR_OPERATION_ABORTED) continue;
      return fail(win32::os_error(error));
    }
  }

  // The flag comes first: a read that starts after the cancel sees it, and
  // one that started before is cancelled. A read that checked the flag just
  // before it was set and had not yet begun is missed; callers repeat.
  void stop_waiting() override {
    stop_waiting_.store(true);
    ::CancelIoEx(read_.get(), nullptr);
  }

 private:
  win32::unique_handle read_;
  std::atomic<bool> stop_waiting_{false};
};

class WindowsChildProcess final : public ChildProcess {
 public:
  WindowsChildProcess(win32::unique_handle process, win32::unique_handle thread, win32::unique_handle out,
                      win32::unique_handle err, win32::unique_handle job)
      : process_(std::move(process)), thread_(std::move(thread)), out_(std::move(out)), err_(std::move(err)),
        job_(std::move(job)) {}

  std::uint32_t pid() const override { return ::GetProcessId(process_.get()); }

  Result<std::optional<std::uint32_t>> exit_status() override {
    switch (::WaitForSingleObject(process_.get(), 0)) {
      case WAIT_OBJECT_0:
        break;
      case WAIT_TIMEOUT:
        return std::optional<std::uint32_t>{};
      default:
        return fail(last_error());
    }
    DWORD code = 0;
    if (!::GetExitCodeProcess(process_.get(), &code)) return fail(last_error());
    return std::optional<std::uint32_t>(code);
  }

  Status terminate(std::uint32_t exit_code) override {
    if (!::TerminateProcess(process_.get(), exit_code)) return fail(last_error());
    return {};
  }

  // The child stays in its job (a process never leaves one); without the
  // limit, closing the job handle no longer touches it, so the handle goes.
  Status lift_kill_on_close() override {
    if (!job_) return {};
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    if (!::SetInformationJobObject(job_.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
      return fail(last_error());
    }
    job_.reset();
    return {};
  }

  Status resume() override {
    if (!held_) return {};
    if (::ResumeThread(thread_.get()) == static_cast<DWORD>(-1)) return fail(last_error());
    held_ = false;
    return {};
  }

  void mark_held() { held_ = true; }

  std::unique_ptr<OutputPipe> take_stdout() override { return take(out_); }
  std::unique_ptr<OutputPipe> take_stderr() override { return take(err_); }

 private:
  static std::unique_ptr<OutputPipe> take(win32::unique_handle& end) {
    if (!end) return nullptr;
    return std::make_unique<WindowsOutputPipe>(std::move(end));
  }

  win32::unique_handle process_;
  win32::unique_handle thread_;
  win32::unique_handle out_;
  win32::unique_handle err_;
  // Held while the kill-on-close limit stands: dropping a child that was
  // never let go kills it.
  win32::unique_handle job_;
  bool held_ = false;
};

// Variable names compare without regard to case, as the system does.
std::wstring env_key(std::wstring_view entry) {
  // A leading '=' belongs to the name (the per-drive folders "=C:=C:\...").
  const auto eq = entry.find(L'=', 1);
  std::wstring key(entry.substr(0, eq));
  std::transform(key.begin(), key.end(), key.begin(), [](wchar_t c) { return c < 128 ? ::towupper(c) : c; });
  return key;
}

// The helper's own environment block with `overrides` set on top, sorted by
// name as CreateProcessW expects, double-NUL terminated.
std::wstring environment_block(const std::vector<std::pair<std::string, std::string>>& overrides) {
  std::vector<std::wstring> entries;
  if (wchar_t* block = ::GetEnvironmentStringsW()) {
    for (const wchar_t* p = block; *p != L'\0'; p += ::wcslen(p) + 1) entries.emplace_back(p);
    ::FreeEnvironmentStringsW(block);
  }
  for (const auto& [name, value] : overrides) {
    const std::wstring key = env_key(win32::wide(name) + L"=");
    std::erase_if(entries, [&](const std::wstring& e) { return env_key(e) == key; });
    entries.push_back(win32::wide(name) + L"=" + win32::wide(value));
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const std::wstring& a, const std::wstring& b) { return env_key(a) < env_key(b); });
  std::wstring out;
  for (const auto& e : entries) {
    out += e;
    out.push_back(L'\0');
  }
  out.push_back(L'\0');
  return out;
}

class WindowsProcesses final : public Processes {
 public:
  Result<CapturedRun> run_hidden(const std::string& program, const std::vector<std::string>& args) override {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    // The application name stays NULL so that the system's search path finds
    // a program given by name; CreateProcessW may write into the line.
    std::wstring line = win32::wide(quote_command_line(argv));

    auto stdio = ChildStdio::create();
    if (!stdio) return fail(std::move(stdio.error()));

    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT,
                          nullptr, nullptr, &stdio->startup.StartupInfo, &info)) {
      return fail(last_error());
    }
    win32::unique_handle process(info.hProcess);
    win32::unique_handle thread(info.hThread);
    // Only the child may hold the write ends now, or the reads never end.
    stdio->release_child_ends();

    CapturedRun run;
    std::string errors;
    Status error_read;
    Status output_read;
    try {
      std::jthread error_reader([&] { error_read = read_to_end(stdio->err.read.get(), errors); });
      output_read = read_to_end(stdio->out.read.get(), run.output);
    } catch (const std::system_error& e) {
      // The reader thread could not start; closing our ends lets the child
      // finish instead of blocking on a full pipe.
      stdio->out.read.reset();
      stdio->err.read.reset();
      ::WaitForSingleObject(process.get(), INFINITE);
      return fail(std::string("could not start the output reader: ") + e.what());
    }
    ::WaitForSingleObject(process.get(), INFINITE);
    if (!output_read) return fail(std::move(output_read.error()));
    if (!error_read) return fail(std::move(error_read.error()));
    DWORD code = 0;
    if (!::GetExitCodeProcess(process.get(), &code)) return fail(last_error());
    run.exit_code = code;
    run.output += errors;
    return run;
  }

  std::uint32_t current_pid() override { return ::GetCurrentProcessId(); }

  Result<std::unique_ptr<ChildProcess>> spawn(const ChildCommand& command) override {
    std::vector<std::string> argv{command.program};
    argv.insert(argv.end(), command.args.begin(), command.args.end());
    std::wstring line = win32::wide(quote_command_line(argv));
    const std::wstring program = win32::wide(command.program);
    const std::wstring folder = win32::wide(command.working_dir);
    std::wstring environment = environment_block(command.env_overrides);

    win32::unique_handle job;
    DWORD flags = command.creation_flags | EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT;
    if (command.start_held) {
      auto made = make_kill_on_close_job();
      if (!made) return fail(std::move(made.error()));
      job = std::move(*made);
      flags |= CREATE_SUSPENDED;
    }

    auto stdio = ChildStdio::create(job.get());
    if (!stdio) return fail(std::move(stdio.error()));

    PROCESS_INFORMATION info{};
    // The program is named by its full path, so no search path is consulted.
    if (!::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, flags, environment.data(),
                          folder.empty() ? nullptr : folder.c_str(), &stdio->startup.StartupInfo, &info)) {
      return fail(last_error());
    }
    win32::unique_handle process(info.hProcess);
    win32::unique_handle thread(info.hThread);
    if (job) {
      // A system that ignored the job attribute gets the child assigned now,
      // while it is still suspended; one that cannot be put in the job never
      // runs.
      BOOL inside = FALSE;
      if (!::IsProcessInJob(process.get(), job.get(), &inside) || !inside) {
        if (!::AssignProcessToJobObject(job.get(), process.get())) {
          const auto error = last_error();
          ::TerminateProcess(process.get(), 1);
          ::WaitForSingleObject(process.get(), 3000);
          return fail(error);
        }
      }
    }
    // Only the child may hold the write ends now, or the readers never see
    // the end of the stream.
    auto child = std::make_unique<WindowsChildProcess>(std::move(process), std::move(thread),
                                                       std::move(stdio->out.read), std::move(stdio->err.read),
                                                       std::move(job));
    if (command.start_held) child->mark_held();
    return std::unique_ptr<ChildProcess>(std::move(child));
  }

  Result<std::unique_ptr<ProcessHandle>> open_process(std::uint32_t pid, std::uint32_t access) override {
    win32::unique_handle handle(::OpenProcess(access, FALSE, pid));
    if (!handle) return fail(last_error());
    return std::make_unique<WindowsProcessHandle>(std::move(handle));
  }

  ProcessSnapshot snapshot_processes() override {
    ProcessSnapshot result;
    win32::unique_hfile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
      result.failure = SnapshotFailure::Unavailable;
      return result;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    static_assert(sizeof(PROCESSENTRY32W) == 568);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
      const std::wstring_view name(entry.szExeFile, ::wcsnlen(entry.szExeFile, std::size(entry.szExeFile)));
      result.entries.push_back({entry.th32ProcessID, win32::narrow(name)});
    }
    if (::GetLastError() != ERROR_NO_MORE_FILES) result.failure = SnapshotFailure::Incomplete;
    return result;
  }
};

}  // namespace

Processes& win32_processes() {
  static WindowsProcesses processes;
  return processes;
}

}  // namespace vorn::platform
