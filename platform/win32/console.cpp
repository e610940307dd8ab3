#include <mutex>

#include "platform/console.hpp"
#include "platform/win32/system.hpp"
#include "platform/win32/windows_support.hpp"

namespace vorn::platform {
namespace {

// While attached to the core's console the helper is in the core's process
// group's reach; the event it sends must never end the helper itself.
BOOL WINAPI ignore_console_ctrl(DWORD) { return TRUE; }

void install_ctrl_event_ignore() {
  static std::once_flag once;
  std::call_once(once, [] { ::SetConsoleCtrlHandler(ignore_console_ctrl, TRUE); });
}

class WindowsConsoleControl final : public ConsoleControl {
 public:
  bool send_ctrl_break(std::uint32_t pid) override {
    // Attaching and freeing a console replaces the standard handles; they are
    // read first so that the helper's own streams survive the visit.
    HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
    if (!::AttachConsole(pid)) return false;
    install_ctrl_event_ignore();
    // The core leads its own process group (its id is the core's pid), so the
    // event reaches that group only.
    const bool sent = ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, pid) != 0;
    ::FreeConsole();
    ::SetStdHandle(STD_INPUT_HANDLE, input);
    ::SetStdHandle(STD_OUTPUT_HANDLE, output);
    ::SetStdHandle(STD_ERROR_HANDLE, error);
    return sent;
  }
};

}  // namespace

ConsoleControl& win32_console() {
  static WindowsConsoleControl console;
  return console;
}

}  // namespace vorn::platform
