#include "helper_service/entry.hpp"
#include "platform/win32/system.hpp"

int main() {
  vorn::platform::Platform& platform = vorn::platform::win32_platform();
  return vorn::run_main(platform, platform.environment.command_line());
}
