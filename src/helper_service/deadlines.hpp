// The read and write deadlines of all connections, enforced by one sweep
// instead of a timer per connection: arming and cancelling a timer for every
// request costs more than the rest of a ping. The sweep runs only while some
// connection has a deadline, and cancels the pending I/O of every connection
// past its due time, again at every tick until the connection lets go.
#pragma once

#include <chrono>
#include <list>
#include <memory>
#include <mutex>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include "platform/pipes.hpp"

namespace vorn {

inline constexpr std::chrono::milliseconds DEADLINE_SWEEP_PERIOD{100};

class DeadlineBoard : public std::enable_shared_from_this<DeadlineBoard> {
  struct Entry {
    std::chrono::steady_clock::time_point due;
    platform::PipeInstance* pipe;
  };

 public:
  // Holds one connection's place on the board. The connection leaves before
  // it closes its pipe: the sweep cancels under the board's lock, so once
  // `leave` has returned it never touches that pipe again.
  class Ticket {
   public:
    Ticket(std::shared_ptr<DeadlineBoard> board, std::list<Entry>::iterator entry)
        : board_(std::move(board)), entry_(entry) {}
    Ticket(const Ticket&) = delete;
    Ticket& operator=(const Ticket&) = delete;
    ~Ticket() { leave(); }
    // Takes the entry off the board; later calls do nothing.
    void leave();
    // A new due time, counted from now.
    void renew(std::chrono::steady_clock::duration limit);
    // No due time until the next renew.
    void suspend();

   private:
    std::shared_ptr<DeadlineBoard> board_;
    std::list<Entry>::iterator entry_;
    bool on_board_ = true;
  };

  static std::shared_ptr<DeadlineBoard> create(asio::any_io_executor executor);

  Ticket add(platform::PipeInstance& pipe, std::chrono::steady_clock::duration limit);

 private:
  explicit DeadlineBoard(asio::any_io_executor executor) : executor_(std::move(executor)) {}
  asio::awaitable<void> sweep();

  asio::any_io_executor executor_;
  std::mutex lock_;
  std::list<Entry> entries_;
  bool sweeping_ = false;
};

}  // namespace vorn
