// The asynchronous runtime of a host: one I/O context run by several worker
// threads plus the thread that blocks on the server task, and a pool of
// threads for the engine operations, which block.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include "support/error.hpp"

namespace vorn {

// Enough blocking threads that none of the at most 32 admitted requests waits
// for a thread.
inline constexpr std::size_t BLOCKING_POOL_THREADS = 32;
// The I/O workers only move bytes between pipes and the blocking pool; more
// of them than this adds idle stacks, not throughput.
inline constexpr unsigned MAX_IO_WORKERS = 4;
// How long a blocking thread waits for more work before it ends.
inline constexpr std::chrono::seconds BLOCKING_THREAD_KEEP_ALIVE{10};

// Threads for work that blocks, started when work comes and no thread is
// idle, up to a maximum, and ended after they have been idle for the
// keep-alive: an idle helper holds none, and each costs a stack.
class BlockingPool {
 public:
  using Job = std::move_only_function<void()>;

  BlockingPool(std::size_t max_threads, std::chrono::steady_clock::duration keep_alive);
  BlockingPool(const BlockingPool&) = delete;
  BlockingPool& operator=(const BlockingPool&) = delete;
  // Drops the jobs not started and waits for the running ones.
  ~BlockingPool();

  // Runs `job` on an idle thread, on a new one while fewer than the maximum
  // run, or else when a thread comes free. Throws std::system_error when no
  // thread can be started and none is running to take the job later.
  void post(Job job);

  // Threads alive now, busy or idle.
  std::size_t threads() const;

 private:
  void work(std::list<std::thread>::iterator self);

  const std::size_t max_threads_;
  const std::chrono::steady_clock::duration keep_alive_;
  mutable std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable all_ended_;
  std::deque<Job> queue_;
  std::list<std::thread> threads_;
  // Threads that ended on their own, joined by the next one to end or by the
  // destructor: a thread cannot join itself.
  std::vector<std::thread> ended_;
  std::size_t idle_ = 0;
  bool stopping_ = false;
};

class Runtime {
 public:
  static Result<std::unique_ptr<Runtime>> create();
  ~Runtime();

  asio::io_context& io() { return io_; }
  BlockingPool& blocking() { return *blocking_; }

  // Runs `task` to completion on the workers and waits for it on the calling
  // thread. The I/O context is not stopped when the task ends: connection
  // tasks the task started go on serving (the service host's final cleanup
  // runs while they answer) until the runtime is discarded. The calling
  // thread does not run the context itself, since it could not leave it
  // again without stopping the context for every thread.
  template <class T>
  T block_on(asio::awaitable<T> task) {
    std::mutex lock;
    std::condition_variable done_cv;
    bool done = false;
    std::optional<T> out;
    std::exception_ptr failure;
    asio::co_spawn(io_, std::move(task), [&](std::exception_ptr e, T value) {
      std::lock_guard guard(lock);
      failure = e;
      if (!e) out.emplace(std::move(value));
      done = true;
      done_cv.notify_one();
    });
    std::unique_lock guard(lock);
    done_cv.wait(guard, [&] { return done; });
    if (failure) std::rethrow_exception(failure);
    return std::move(*out);
  }

 private:
  Runtime() = default;
  asio::io_context io_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::vector<std::thread> workers_;
  std::unique_ptr<BlockingPool> blocking_;
};

}  // namespace vorn
