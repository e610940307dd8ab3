#include "helper_service/runtime.hpp"

#include <algorithm>
#include <system_error>

namespace vorn {

BlockingPool::BlockingPool(std::size_t max_threads, std::chrono::steady_clock::duration keep_alive)
    : max_threads_(std::max<std::size_t>(1, max_threads)), keep_alive_(keep_alive) {}

BlockingPool::~BlockingPool() {
  std::deque<Job> dropped;
  std::unique_lock guard(lock_);
  stopping_ = true;
  dropped.swap(queue_);
  wake_.notify_all();
  all_ended_.wait(guard, [this] { return threads_.empty(); });
  std::vector<std::thread> ended = std::move(ended_);
  guard.unlock();
  for (auto& t : ended) t.join();
  // `dropped` goes last, outside the lock: a job's destruction may end
  // coroutines whose own cleanup reaches this pool.
}

void BlockingPool::post(Job job) {
  std::lock_guard guard(lock_);
  if (stopping_) return;
  queue_.push_back(std::move(job));
  // Each idle thread takes one queued job; only jobs beyond them need a
  // thread of their own.
  if (idle_ >= queue_.size()) {
    wake_.notify_one();
    return;
  }
  if (threads_.size() >= max_threads_) return;  // a busy thread takes it when done
  auto self = threads_.emplace(threads_.end());
  try {
    // The new thread waits for this lock before it looks at `*self`.
    *self = std::thread([this, self] { work(self); });
  } catch (const std::system_error&) {
    threads_.erase(self);
    if (threads_.empty()) {
      queue_.pop_back();
      throw;
    }
  }
}

std::size_t BlockingPool::threads() const {
  std::lock_guard guard(lock_);
  return threads_.size();
}

void BlockingPool::work(std::list<std::thread>::iterator self) {
  std::unique_lock guard(lock_);
  for (;;) {
    while (!queue_.empty() && !stopping_) {
      Job job = std::move(queue_.front());
      queue_.pop_front();
      guard.unlock();
      job();
      job = nullptr;  // what the job held goes before the lock is taken again
      guard.lock();
    }
    if (stopping_) break;
    ++idle_;
    const bool woken = wake_.wait_for(guard, keep_alive_, [this] { return stopping_ || !queue_.empty(); });
    --idle_;
    if (!woken) break;
  }
  // Joining under the lock is safe: an ended thread does nothing after it
  // has let the lock go.
  for (auto& t : ended_) t.join();
  ended_.clear();
  ended_.push_back(std::move(*self));
  threads_.erase(self);
  if (threads_.empty()) all_ended_.notify_all();
}

Result<std::unique_ptr<Runtime>> Runtime::create() {
  std::unique_ptr<Runtime> rt(new Runtime());
  try {
    rt->work_.emplace(rt->io_.get_executor());
    const unsigned workers = std::clamp(std::thread::hardware_concurrency(), 1u, MAX_IO_WORKERS);
    for (unsigned i = 0; i < workers; ++i) rt->workers_.emplace_back([io = &rt->io_] { io->run(); });
    rt->blocking_ = std::make_unique<BlockingPool>(BLOCKING_POOL_THREADS, BLOCKING_THREAD_KEEP_ALIVE);
  } catch (const std::system_error& e) {
    return fail(Error::os(static_cast<std::uint32_t>(e.code().value()), e.code().message()));
  }
  return rt;
}

Runtime::~Runtime() {
  work_.reset();
  io_.stop();
  for (auto& t : workers_) t.join();
  blocking_.reset();
}

}  // namespace vorn
