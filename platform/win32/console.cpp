#include "platform/console.hpp"
#include "platform/win32/system.hpp"

namespace vorn::platform {
namespace {

// Ctrl-Break delivery comes with the core stop; until then no event is sent.
class WindowsConsoleControl final : public ConsoleControl {
 public:
  bool send_ctrl_break(std::uint32_t) override { return false; }
};

}  // namespace

ConsoleControl& win32_console() {
  static WindowsConsoleControl console;
  return console;
}

}  // namespace vorn::platform
