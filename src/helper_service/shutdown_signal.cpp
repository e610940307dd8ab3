#include "helper_service/shutdown_signal.hpp"

#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

namespace vorn {

void ShutdownSignal::give() {
  std::lock_guard guard(lock_);
  if (waiter_) {
    // The channel buffers one message, so the wake survives even if the
    // waiter has registered but not yet started to receive.
    waiter_->try_send(asio::error_code{}, true);
    waiter_.reset();
  } else {
    stored_ = true;
  }
}

asio::awaitable<void> ShutdownSignal::wait() {
  auto channel = std::make_shared<Channel>(co_await asio::this_coro::executor, 1);
  {
    std::lock_guard guard(lock_);
    if (stored_) {
      stored_ = false;
      co_return;
    }
    waiter_ = channel;
  }
  // Unregister when the wait is dropped (the server won the selection), so a
  // later give() is stored instead of sent to a channel nobody reads.
  struct Unregister {
    ShutdownSignal* self;
    Channel* channel;
    ~Unregister() {
      std::lock_guard guard(self->lock_);
      if (self->waiter_.get() == channel) self->waiter_.reset();
    }
  } unregister{this, channel.get()};
  co_await channel->async_receive(asio::use_awaitable);
}

}  // namespace vorn
