#include "helper_engine/core_process.hpp"

#include <array>
#include <cstring>
#include <vector>

#include <fmt/format.h>

#include "support/text.hpp"
#include "tun/core_output.hpp"

namespace vorn {

platform::ChildCommand core_command(std::string program) {
  platform::ChildCommand command;
  command.program = std::move(program);
  command.creation_flags = CORE_CREATION_FLAGS;
  return command;
}

platform::ChildCommand core_launch_command(std::string image_path, std::string config_path, std::string core_folder) {
  platform::ChildCommand command = core_command(std::move(image_path));
  command.args = {"run", "-c", std::move(config_path)};
  command.working_dir = std::move(core_folder);
  command.env_overrides = {{CORE_DNS_VARIABLE, "true"}};
  command.start_held = true;
  return command;
}

std::string exit_code_text(std::uint32_t code) {
  if ((code & 0x80000000u) != 0) return fmt::format("exit code: {:#x}", code);
  return fmt::format("exit code: {}", code);
}

bool wait_for_exit(platform::ChildProcess& child, Clock& clock) {
  const auto deadline = clock.now() + CORE_STOP_WAIT;
  for (;;) {
    auto status = child.exit_status();
    if (!status) return false;
    if (status->has_value()) return true;
    if (clock.now() >= deadline) return false;
    clock.sleep(CORE_STOP_POLL);
  }
}

ChildStop stop_child(std::unique_ptr<platform::ChildProcess> child, platform::ConsoleControl& console, Clock& clock) {
  auto status = child->exit_status();
  if (!status) return ChildUnconfirmed{std::move(child)};
  if (status->has_value()) return ChildStopped{false};

  if (console.send_ctrl_break(child->pid()) && wait_for_exit(*child, clock)) return ChildStopped{false};

  // Only the wait decides: a refused termination of a process that exits on
  // its own is still a confirmed stop.
  (void)child->terminate(CORE_TERMINATE_EXIT_CODE);
  if (wait_for_exit(*child, clock)) return ChildStopped{true};
  return ChildUnconfirmed{std::move(child)};
}

ChildStop stop_held_child(std::unique_ptr<platform::ChildProcess> child, Clock& clock) {
  // As in stop_child, only the wait decides.
  (void)child->terminate(CORE_TERMINATE_EXIT_CODE);
  if (wait_for_exit(*child, clock)) return ChildStopped{true};
  return ChildUnconfirmed{std::move(child)};
}

std::string thread_start_error_text(std::exception_ptr error) {
  return exception_text(std::move(error)).value_or("unknown error");
}

namespace {

// The flag is set before the line is pushed, so whoever sees the line in the
// log can rely on the flag.
void raise_flag(CoreOutputKind kind, OutputWatch& watch) {
  switch (kind) {
    case CoreOutputKind::AddressConflict:
      watch.address_conflict.store(true);
      break;
    case CoreOutputKind::AdapterFailure:
      watch.adapter_failed.store(true);
      break;
    case CoreOutputKind::Other:
      break;
  }
}

void classify_line(std::string_view line, OutputWatch& watch, std::string& scratch) {
  raise_flag(classify_core_output(line, scratch), watch);
}

// Length of the longest prefix of `bytes` (at most `limit`) that does not end
// inside a UTF-8 sequence; a cut there keeps both pieces valid.
std::size_t utf8_cut(std::string_view bytes, std::size_t limit) {
  std::size_t cut = limit;
  // Step back over continuation bytes to the start of the last sequence.
  std::size_t back = 0;
  while (cut > 0 && back < 3 && (static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80) {
    --cut;
    ++back;
  }
  return cut == 0 ? limit : cut;
}

// The lines of one read are classified as they are cut and reach the log
// together, under one lock: a flooding core then costs the log lock once per
// read, not once per line.
class LinePump {
 public:
  LinePump(std::string_view label, SharedLog& log, OutputWatch& watch)
      : prefix_(fmt::format("[core:{}] ", label)), log_(log), watch_(watch) {}

  // False once a line is not UTF-8: the rest of the stream is not read. The
  // lines before it are still pushed.
  bool feed(std::string_view chunk) {
    const bool valid = cut(chunk);
    publish();
    return valid;
  }

  // The bytes after the last line end form a last line.
  void finish() {
    if (!pending_.empty()) emit(pending_);
    pending_.clear();
    publish();
  }

 private:
  bool cut(std::string_view chunk) {
    while (!chunk.empty()) {
      const auto newline = chunk.find('\n');
      if (newline == std::string_view::npos) {
        pending_.append(chunk);
        return flush_overlong();
      }
      std::string_view line = chunk.substr(0, newline);
      chunk.remove_prefix(newline + 1);
      // A line wholly inside this read is taken from the read itself.
      if (!pending_.empty()) {
        pending_.append(line);
        line = pending_;
      }
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (!emit(line)) return false;
      pending_.clear();
    }
    return true;
  }

  bool flush_overlong() {
    std::size_t start = 0;
    while (pending_.size() - start > CORE_LINE_LIMIT) {
      const std::string_view rest = std::string_view(pending_).substr(start);
      const std::size_t cut = utf8_cut(rest, CORE_LINE_LIMIT);
      if (!emit(rest.substr(0, cut), true)) return false;
      start += cut;
    }
    pending_.erase(0, start);
    return true;
  }

  // `more` when the rest of this line follows in later pieces.
  bool emit(std::string_view line, bool more = false) {
    if (!text::is_valid_utf8(line)) return false;
    if (more || continued_) {
      // A piece is classified with what came before it in its line, so that
      // what the logged pieces cut apart is still seen.
      raise_flag(pieces_.add(line, lowered_), watch_);
      if (!more) pieces_.end_line();
    } else {
      classify_line(line, watch_, lowered_);
    }
    continued_ = more;
    std::string entry;
    entry.reserve(prefix_.size() + line.size());
    entry.append(prefix_).append(line);
    ready_.push_back(std::move(entry));
    return true;
  }

  void publish() {
    if (ready_.empty()) return;
    {
      std::lock_guard lock(log_.lock);
      for (auto& entry : ready_) log_.ring.push(std::move(entry));
    }
    ready_.clear();
  }

  std::string prefix_;
  SharedLog& log_;
  OutputWatch& watch_;
  std::string pending_;
  std::string lowered_;
  CoreLinePieces pieces_;
  bool continued_ = false;  // pieces of the current line were emitted
  std::vector<std::string> ready_;
};

void forget_pipe(OutputWatch& watch, const std::shared_ptr<platform::OutputPipe>& pipe) {
  std::lock_guard lock(watch.pipes_lock);
  std::erase(watch.pipes, pipe);
}

Status spawn_pump(const char* label, std::shared_ptr<SharedLog> log, std::unique_ptr<platform::OutputPipe> owned,
                  std::shared_ptr<OutputWatch> watch, platform::Processes& threads) {
  if (!owned) return {};
  std::shared_ptr<platform::OutputPipe> pipe;
  bool listed = false;
  watch->live_readers.fetch_add(1);
  try {
    pipe = std::move(owned);
    {
      std::lock_guard lock(watch->pipes_lock);
      watch->pipes.push_back(pipe);
    }
    listed = true;
    threads.start_detached_thread([label, log = std::move(log), pipe, watch]() mutable {
      pump_core_output(label, *log, *pipe, *watch);
      forget_pipe(*watch, pipe);
      pipe.reset();
      watch->live_readers.fetch_sub(1);
    });
  } catch (...) {
    // Whatever the start threw, no pump reads this pipe: the count and the
    // list must not claim one.
    const std::string cause = thread_start_error_text(std::current_exception());
    if (listed) forget_pipe(*watch, pipe);
    watch->live_readers.fetch_sub(1);
    return fail(fmt::format("helper: could not start the core output reader: {}", cause));
  }
  return {};
}

}  // namespace

void pump_core_output(std::string_view label, SharedLog& log, platform::OutputPipe& pipe, OutputWatch& watch) {
  LinePump pump(label, log, watch);
  std::array<char, CORE_PIPE_READ_SIZE> buffer;
  for (;;) {
    auto got = pipe.read(buffer);
    if (!got) return;  // a read error ends the pump; a partial line is dropped
    if (*got == 0) break;
    if (!pump.feed(std::string_view(buffer.data(), *got))) return;
  }
  pump.finish();
}

bool release_output_pumps(OutputWatch& watch, Clock& clock, std::chrono::milliseconds poll) {
  const auto deadline = clock.now() + OUTPUT_DRAIN_WAIT;
  for (;;) {
    if (watch.live_readers.load() == 0) return true;
    {
      std::lock_guard lock(watch.pipes_lock);
      for (const auto& pipe : watch.pipes) pipe->stop_waiting();
    }
    if (clock.now() >= deadline) return false;
    clock.sleep(poll);
  }
}

Status spawn_stdout_pump(std::shared_ptr<SharedLog> log, std::unique_ptr<platform::OutputPipe> pipe,
                         std::shared_ptr<OutputWatch> watch, platform::Processes& threads) {
  return spawn_pump("out", std::move(log), std::move(pipe), std::move(watch), threads);
}

Status spawn_stderr_pump(std::shared_ptr<SharedLog> log, std::unique_ptr<platform::OutputPipe> pipe,
                         std::shared_ptr<OutputWatch> watch, platform::Processes& threads) {
  return spawn_pump("err", std::move(log), std::move(pipe), std::move(watch), threads);
}

}  // namespace vorn
