// The asynchronous runtime of a host: one I/O context run by several worker
// threads plus the thread that blocks on the server task, and a pool of
// threads for the engine operations, which block.
#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>

#include "support/error.hpp"

namespace vorn {

// Enough blocking threads that none of the at most 32 admitted requests waits
// for a thread.
inline constexpr std::size_t BLOCKING_POOL_THREADS = 32;

class Runtime {
 public:
  static Result<std::unique_ptr<Runtime>> create();
  ~Runtime();

  asio::io_context& io() { return io_; }
  asio::thread_pool& blocking() { return *blocking_; }

  // Runs `task` to completion, the calling thread helping the workers; then
  // stops the I/O context, abandoning connection tasks still open.
  template <class T>
  T block_on(asio::awaitable<T> task) {
    std::optional<T> out;
    std::exception_ptr failure;
    asio::co_spawn(io_, std::move(task), [&](std::exception_ptr e, T value) {
      failure = e;
      if (!e) out.emplace(std::move(value));
      io_.stop();
    });
    io_.run();
    if (failure) std::rethrow_exception(failure);
    return std::move(*out);
  }

 private:
  Runtime() = default;
  asio::io_context io_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::vector<std::thread> workers_;
  std::unique_ptr<asio::thread_pool> blocking_;
};

}  // namespace vorn
