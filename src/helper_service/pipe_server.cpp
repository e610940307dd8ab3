#include "helper_service/pipe_server.hpp"

#include <fmt/format.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/experimental/concurrent_channel.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <exception>
#include <functional>
#include <mutex>
#include <variant>
#include <vector>

#include "helper_engine/store.hpp"
#include "helper_service/dispatch.hpp"
#include "helper_service/wire.hpp"

namespace vorn {

platform::PipeInstanceParams pipe_instance_params(bool first_instance) {
  constexpr std::uint32_t PIPE_ACCESS_DUPLEX_ = 0x00000003;
  constexpr std::uint32_t FILE_FLAG_OVERLAPPED_ = 0x40000000;
  constexpr std::uint32_t FILE_FLAG_FIRST_PIPE_INSTANCE_ = 0x00080000;
  constexpr std::uint32_t PIPE_REJECT_REMOTE_CLIENTS_ = 0x00000008;  // byte type, byte read mode, blocking mode are 0
  constexpr std::uint32_t PIPE_UNLIMITED_INSTANCES_ = 255;
  platform::PipeInstanceParams p;
  p.open_mode = PIPE_ACCESS_DUPLEX_ | FILE_FLAG_OVERLAPPED_ | (first_instance ? FILE_FLAG_FIRST_PIPE_INSTANCE_ : 0);
  p.pipe_mode = PIPE_REJECT_REMOTE_CLIENTS_;
  p.max_instances = PIPE_UNLIMITED_INSTANCES_;
  p.out_buffer_bytes = PIPE_BUFFER_BYTES;
  p.in_buffer_bytes = PIPE_BUFFER_BYTES;
  p.default_timeout_ms = 0;
  return p;
}

bool tokens_equal(std::string_view presented, std::string_view expected) {
  if (presented.size() != expected.size()) return false;
  volatile unsigned char difference = 0;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    difference = difference | static_cast<unsigned char>(presented[i] ^ expected[i]);
  }
  return difference == 0;
}

std::optional<ConnectionSlots::Permit> ConnectionSlots::try_acquire(const std::shared_ptr<ConnectionSlots>& slots) {
  std::int64_t free = slots->free_.load();
  while (free > 0) {
    if (slots->free_.compare_exchange_weak(free, free - 1)) return Permit(slots);
  }
  return std::nullopt;
}

asio::awaitable<Result<std::string>> read_request_line(platform::PipeInstance& pipe) {
  std::string request;
  std::vector<char> chunk(READ_CHUNK_BYTES);
  for (;;) {
    auto got = co_await pipe.read_some(chunk);
    if (!got) co_return fail(got.error());
    if (*got == 0) co_return fail("end of stream before the request line ended");
    // Checked before appending so the buffer never holds more than the cap.
    if (*got > MAX_REQUEST_BYTES || request.size() > MAX_REQUEST_BYTES - *got) {
      co_return fail("request exceeds the size limit");
    }
    const std::string_view bytes(chunk.data(), *got);
    request.append(bytes);
    if (bytes.find('\n') != std::string_view::npos) co_return request;
  }
}

asio::awaitable<Status> write_reply(platform::PipeInstance& pipe, std::string_view bytes) {
  while (!bytes.empty()) {
    auto wrote = co_await pipe.write_some(bytes);
    if (!wrote) co_return fail(wrote.error());
    if (*wrote == 0) co_return fail("the pipe accepted no bytes");
    bytes.remove_prefix(*wrote);
  }
  co_return Status{};
}

namespace {

std::atomic<std::uint64_t> next_task_id{1};

// Runs `job` on the blocking pool and resumes the caller on its own executor
// with the job's result or the exception it ended with.
template <class Token>
auto async_run_blocking(BlockingPool& pool, std::move_only_function<Response()> job, Token&& token) {
  return asio::async_initiate<Token, void(std::exception_ptr, Response)>(
      [&pool](auto handler, std::move_only_function<Response()> job) {
        auto work = asio::make_work_guard(handler);
        pool.post([handler = std::move(handler), job = std::move(job), work = std::move(work)]() mutable {
          std::exception_ptr failure;
          Response response;
          try {
            response = job();
          } catch (...) {
            failure = std::current_exception();
          }
          job = nullptr;
          auto executor = work.get_executor();
          asio::post(executor, [handler = std::move(handler), failure, response = std::move(response)]() mutable {
            std::move(handler)(failure, std::move(response));
          });
          work.reset();
        });
      },
      token, std::move(job));
}

// Runs the request on the blocking pool; a task that breaks off becomes an
// error reply, and the guard is released on every path.
asio::awaitable<Response> run_on_blocking_pool(const ConnectionContext& context, HelperEngine engine, Request request,
                                               std::optional<InFlightGuard> guard) {
  const std::uint64_t task_id = next_task_id.fetch_add(1);
  auto body = [runner = context.run_request, engine = std::move(engine), request = std::move(request),
               guard = std::move(guard)]() mutable -> Response {
    return runner(std::move(engine), std::move(request), std::move(guard));
  };
  try {
    // Named, not a temporary inside the co_await expression: GCC 12 destroys
    // such temporaries twice.
    auto task = async_run_blocking(*context.blocking, std::move(body), asio::use_awaitable);
    Response response = co_await std::move(task);
    co_return response;
  } catch (const std::exception& e) {
    co_return ResponseError{fmt::format("helper request failed: task {} broke off: {}", task_id, e.what())};
  } catch (...) {
    co_return ResponseError{fmt::format("helper request failed: task {} broke off", task_id)};
  }
}

}  // namespace

asio::awaitable<void> handle_pipe_client(std::unique_ptr<platform::PipeInstance> pipe, std::string token,
                                         HelperEngine engine, ConnectionSlots::Permit permit,
                                         std::shared_ptr<const ConnectionContext> context) {
  DeadlineBoard::Ticket deadline = context->deadlines->add(*pipe, context->read_timeout);
  auto bytes = co_await read_request_line(*pipe);
  if (!bytes) {
    deadline.leave();
    pipe->close();
    co_return;
  }

  Response response;
  auto envelope = deserialize_envelope(*bytes);
  if (!envelope) {
    response = ResponseError{"bad request: " + envelope.error().message()};
  } else if (!tokens_equal(envelope->token, token)) {
    response = ResponseUnauthorized{};
  } else {
    std::optional<InFlightGuard> guard;
    if (is_counted_request(envelope->request)) guard.emplace(engine);
    // The engine operation has no time limit.
    deadline.suspend();
    auto task = run_on_blocking_pool(*context, std::move(engine), std::move(envelope->request), std::move(guard));
    response = co_await std::move(task);
  }

  std::string reply = serialize_response(response);
  reply += '\n';
  deadline.renew(context->write_timeout);
  (void)co_await write_reply(*pipe, reply);
  deadline.leave();
  pipe->close();
  (void)permit;
}

namespace {

// What the links of the accept chain share. Each link waits for one client,
// creates the next instance and starts the next link on it before serving
// its own client, so the next listen is already pending when this client's
// first read is issued: a client that finds every instance busy is woken only
// by a listen. Only the listening link holds the chain; a link lets go of it
// before it serves its client, so the token, the security descriptor and the
// engine handle go with the loop.
struct AcceptChain {
  using FailureChannel = asio::experimental::concurrent_channel<void(asio::error_code, bool)>;

  AcceptChain(platform::Pipes& p, std::string n, std::string t, std::unique_ptr<platform::PipeSecurity> s,
              HelperEngine e, std::shared_ptr<const ConnectionContext> c, asio::any_io_executor x)
      : pipes(p),
        name(std::move(n)),
        token(std::move(t)),
        security(std::move(s)),
        engine(std::move(e)),
        connections(std::move(c)),
        executor(x),
        slots(std::make_shared<ConnectionSlots>(MAX_PIPE_CLIENTS)),
        failed(std::make_shared<FailureChannel>(x, 1)) {}

  platform::Pipes& pipes;
  const std::string name;
  const std::string token;
  const std::unique_ptr<platform::PipeSecurity> security;
  HelperEngine engine;
  std::shared_ptr<const ConnectionContext> connections;
  asio::any_io_executor executor;
  std::shared_ptr<ConnectionSlots> slots;
  std::shared_ptr<FailureChannel> failed;

  std::mutex lock;
  // The instance clients can open now: registered under `lock` as soon as it
  // is created, so a stop always finds it.
  platform::PipeInstance* listening = nullptr;
  bool stopped = false;
  std::optional<Error> failure;

  void fail_with(Error error) {
    std::lock_guard guard(lock);
    if (stopped || failure) return;
    stopped = true;
    failure = std::move(error);
    failed->try_send(asio::error_code{}, true);
  }

  // The server was dropped: the listening instance is cancelled and closed
  // here, not later by its link, whose completion may never run once the
  // host stops the runtime; when this returns no client can open the pipe.
  void stop() {
    std::lock_guard guard(lock);
    stopped = true;
    if (listening != nullptr) {
      listening->cancel_io();
      listening->close();
    }
  }

  // Creates the next listening instance and registers it, unless the loop
  // has stopped: then no instance is created that nothing would close.
  Result<std::unique_ptr<platform::PipeInstance>> create_next() {
    std::lock_guard guard(lock);
    if (stopped) return fail("the accept loop was dropped");
    auto next = pipes.create_instance(executor, name, pipe_instance_params(false), *security);
    if (next) listening = next->get();
    return next;
  }
};

asio::awaitable<void> accept_link(std::shared_ptr<AcceptChain> chain, std::unique_ptr<platform::PipeInstance> instance) {
  {
    std::lock_guard guard(chain->lock);
    if (chain->stopped) {
      if (chain->listening == instance.get()) chain->listening = nullptr;
      instance->close();
      co_return;
    }
  }
  Status connected = co_await instance->wait_for_client();
  bool stopped = false;
  {
    std::lock_guard guard(chain->lock);
    if (chain->listening == instance.get()) chain->listening = nullptr;
    stopped = chain->stopped;
  }
  if (stopped) {
    instance->close();
    co_return;
  }
  if (!connected) {
    instance->close();
    chain->fail_with(connected.error());
    co_return;
  }
  auto next = chain->create_next();
  if (!next) {
    instance->close();
    chain->fail_with(next.error());
    co_return;
  }
  asio::co_spawn(chain->executor, accept_link(chain, std::move(*next)), asio::detached);
  auto permit = ConnectionSlots::try_acquire(chain->slots);
  if (!permit) {
    instance->close();  // 32 connections are being served: refused, not queued
    co_return;
  }
  std::string token = chain->token;
  HelperEngine engine = chain->engine;
  auto connections = chain->connections;
  chain.reset();
  auto serve = handle_pipe_client(std::move(instance), std::move(token), std::move(engine), std::move(*permit),
                                  std::move(connections));
  co_await std::move(serve);
}

}  // namespace

asio::awaitable<Error> run_pipe_server(HelperEngine engine, BlockingPool& blocking, PipeServerOptions options) {
  platform::Pipes& pipes = engine.platform().pipes;
  const std::optional<std::string> token = load_or_create_token(engine.platform());
  if (!token) co_return Error("helper: cannot create the pipe token");
  auto security = pipes.security_descriptor(PIPE_SDDL);
  if (!security) co_return security.error();
  const auto executor = co_await asio::this_coro::executor;

  auto first = pipes.create_instance(executor, options.name, pipe_instance_params(true), **security);
  if (!first) co_return first.error();
  auto connections = std::make_shared<ConnectionContext>();
  connections->deadlines = DeadlineBoard::create(executor);
  connections->blocking = &blocking;
  connections->read_timeout = options.read_timeout;
  connections->write_timeout = options.write_timeout;
  auto chain = std::make_shared<AcceptChain>(pipes, std::move(options.name), *token, std::move(*security),
                                             std::move(engine), std::move(connections), executor);
  chain->listening = first->get();
  struct StopOnDrop {
    std::shared_ptr<AcceptChain> chain;
    ~StopOnDrop() { chain->stop(); }
  } stop_on_drop{chain};
  asio::co_spawn(executor, accept_link(chain, std::move(*first)), asio::detached);

  auto failed = chain->failed;
  co_await failed->async_receive(asio::use_awaitable);
  std::lock_guard guard(chain->lock);
  co_return std::move(*chain->failure);
}

}  // namespace vorn
