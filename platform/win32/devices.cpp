#include "platform/devices.hpp"
#include "platform/win32/system.hpp"

namespace vorn::platform {
namespace {

// The device walk comes with the stale-adapter cleanup.
class WindowsDevices final : public Devices {
 public:
  Result<std::vector<NetDevice>> network_devices() override { return fail("network devices are not built yet"); }
  Status remove_device(const std::string&) override { return fail("device removal is not built yet"); }
  Result<std::optional<std::string>> read_machine_string(const std::string&, const std::string&) override {
    return fail("registry reads are not built yet");
  }
};

}  // namespace

Devices& win32_devices() {
  static WindowsDevices devices;
  return devices;
}

}  // namespace vorn::platform
