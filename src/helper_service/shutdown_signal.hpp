// The notification shared by the service control handler and the server
// task. Giving it wakes the waiter, or is stored (at most once) for the next
// wait, so a Stop that arrives before the server has begun to wait is not
// lost. Giving never blocks and may come from any thread.
#pragma once

#include <memory>
#include <mutex>

#include <asio/awaitable.hpp>
#include <asio/error_code.hpp>
#include <asio/experimental/concurrent_channel.hpp>

namespace vorn {

class ShutdownSignal {
 public:
  void give();
  asio::awaitable<void> wait();

 private:
  using Channel = asio::experimental::concurrent_channel<void(asio::error_code, bool)>;
  std::mutex lock_;
  bool stored_ = false;
  std::shared_ptr<Channel> waiter_;
};

}  // namespace vorn
