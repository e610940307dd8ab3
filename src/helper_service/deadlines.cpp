#include "helper_service/deadlines.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

namespace vorn {

std::shared_ptr<DeadlineBoard> DeadlineBoard::create(asio::any_io_executor executor) {
  return std::shared_ptr<DeadlineBoard>(new DeadlineBoard(std::move(executor)));
}

DeadlineBoard::Ticket DeadlineBoard::add(platform::PipeInstance& pipe, std::chrono::steady_clock::duration limit) {
  std::lock_guard guard(lock_);
  entries_.push_back({std::chrono::steady_clock::now() + limit, &pipe});
  if (!sweeping_) {
    sweeping_ = true;
    auto self = shared_from_this();
    asio::co_spawn(executor_, [self]() { return self->sweep(); }, asio::detached);
  }
  return Ticket(shared_from_this(), std::prev(entries_.end()));
}

void DeadlineBoard::Ticket::leave() {
  if (!on_board_) return;
  std::lock_guard guard(board_->lock_);
  board_->entries_.erase(entry_);
  on_board_ = false;
}

void DeadlineBoard::Ticket::renew(std::chrono::steady_clock::duration limit) {
  if (!on_board_) return;
  std::lock_guard guard(board_->lock_);
  entry_->due = std::chrono::steady_clock::now() + limit;
}

void DeadlineBoard::Ticket::suspend() {
  if (!on_board_) return;
  std::lock_guard guard(board_->lock_);
  entry_->due = std::chrono::steady_clock::time_point::max();
}

asio::awaitable<void> DeadlineBoard::sweep() {
  asio::steady_timer tick(executor_);
  for (;;) {
    tick.expires_after(DEADLINE_SWEEP_PERIOD);
    co_await tick.async_wait(asio::use_awaitable);
    std::lock_guard guard(lock_);
    if (entries_.empty()) {
      sweeping_ = false;
      co_return;
    }
    const auto now = std::chrono::steady_clock::now();
    for (const Entry& entry : entries_) {
      if (entry.due <= now) entry.pipe->cancel_io();
    }
  }
}

}  // namespace vorn
