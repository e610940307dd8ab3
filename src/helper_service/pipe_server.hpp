// The control pipe: an accept loop that always keeps one listening instance
// and admits at most 32 connections, and one task per connection that reads
// one request line, checks its token, runs the engine operation on the
// blocking pool and writes one reply line.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <functional>

#include <asio/awaitable.hpp>

#include "helper_engine/engine.hpp"
#include "helper_service/deadlines.hpp"
#include "helper_service/dispatch.hpp"
#include "helper_service/runtime.hpp"
#include "platform/pipes.hpp"
#include "support/error.hpp"

namespace vorn {

inline constexpr const char* PIPE_NAME = "\\\\.\\pipe\\vorn-helper";
inline constexpr const char* PIPE_SDDL = "D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;IU)";
inline constexpr std::size_t MAX_PIPE_CLIENTS = 32;
inline constexpr std::uint32_t PIPE_BUFFER_BYTES = 65536;
inline constexpr std::size_t READ_CHUNK_BYTES = 8192;
inline constexpr std::size_t MAX_REQUEST_BYTES = 4194304;
inline constexpr std::chrono::seconds REQUEST_READ_TIMEOUT{5};
inline constexpr std::chrono::seconds REPLY_WRITE_TIMEOUT{3};

// CreateNamedPipeW's arguments; only the first instance of a server run asks
// to be the first of its name.
platform::PipeInstanceParams pipe_instance_params(bool first_instance);

// Equal byte lengths and equal bytes, compared without stopping at the first
// difference so that the time taken does not tell how much of a guess was
// right.
bool tokens_equal(std::string_view presented, std::string_view expected);

// Connection permits taken without waiting; a permit goes back when its
// connection task ends.
class ConnectionSlots {
 public:
  class Permit {
   public:
    explicit Permit(std::shared_ptr<ConnectionSlots> slots) : slots_(std::move(slots)) {}
    Permit(Permit&&) noexcept = default;
    Permit& operator=(Permit&&) noexcept = default;
    ~Permit() {
      if (slots_) slots_->free_.fetch_add(1);
    }

   private:
    std::shared_ptr<ConnectionSlots> slots_;
  };

  explicit ConnectionSlots(std::size_t count) : free_(static_cast<std::int64_t>(count)) {}
  static std::optional<Permit> try_acquire(const std::shared_ptr<ConnectionSlots>& slots);
  std::int64_t available() const { return free_.load(); }

 private:
  std::atomic<std::int64_t> free_;
};

// Reads until a read delivers a line feed; the whole buffer (the bytes after
// the line feed in that read included) is the request. Fails at end of
// stream, on a read error and beyond MAX_REQUEST_BYTES.
asio::awaitable<Result<std::string>> read_request_line(platform::PipeInstance& pipe);

asio::awaitable<Status> write_reply(platform::PipeInstance& pipe, std::string_view bytes);

// The body of one connection's blocking task.
using RequestRunner = std::function<Response(HelperEngine, Request, std::optional<InFlightGuard>)>;

// What the connection tasks of one loop share. It holds nothing of the
// loop's own (token, security descriptor, engine handle), so that those go
// when the loop goes while connections it started are still served.
struct ConnectionContext {
  std::shared_ptr<DeadlineBoard> deadlines;
  BlockingPool* blocking = nullptr;
  std::chrono::steady_clock::duration read_timeout = REQUEST_READ_TIMEOUT;
  std::chrono::steady_clock::duration write_timeout = REPLY_WRITE_TIMEOUT;
  // Tests put a runner here to watch the engine call from inside.
  RequestRunner run_request = run_request_blocking;
};

// Serves one connection to its end; never fails.
asio::awaitable<void> handle_pipe_client(std::unique_ptr<platform::PipeInstance> pipe, std::string token,
                                         HelperEngine engine, ConnectionSlots::Permit permit,
                                         std::shared_ptr<const ConnectionContext> context);

// The hosts use the defaults; tests shorten the deadlines and use a pipe
// name of their own.
struct PipeServerOptions {
  std::string name = PIPE_NAME;
  std::chrono::steady_clock::duration read_timeout = REQUEST_READ_TIMEOUT;
  std::chrono::steady_clock::duration write_timeout = REPLY_WRITE_TIMEOUT;
};

// Completes only with an error; dropping it ends the loop and closes the
// listening instance.
asio::awaitable<Error> run_pipe_server(HelperEngine engine, BlockingPool& blocking, PipeServerOptions options = {});

}  // namespace vorn
