// Console control for stopping the core: a Ctrl-Break to its process group.
#pragma once

#include <cstdint>

namespace vorn::platform {

class ConsoleControl {
 public:
  virtual ~ConsoleControl() = default;
  // Attaches to the console of `pid` (the core's process group id), sends
  // Ctrl-Break while ignoring console events in this process, detaches and
  // puts the standard handles back. True when the event was generated; false
  // at once, with nothing changed, when the console cannot be attached.
  virtual bool send_ctrl_break(std::uint32_t pid) = 0;
};

}  // namespace vorn::platform
