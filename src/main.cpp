#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "helper_service/entry.hpp"
#include "platform/win32/system.hpp"

int main() {
  // The runtime opens standard error in text mode, which would end every
  // line in CR LF; the installer and the service logs expect a bare LF.
  ::_setmode(::_fileno(stderr), _O_BINARY);
  vorn::platform::Platform& platform = vorn::platform::win32_platform();
  return vorn::run_main(platform, platform.environment.command_line());
}
