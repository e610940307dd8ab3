// SetupAPI's network-class devices and the registry values that name them,
// for removing stale own adapters.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "support/error.hpp"

namespace vorn::platform {

struct NetDevice {
  std::string instance_id;
  std::optional<std::string> hardware_id;  // the first string of the multi-string
  std::optional<std::string> driver;       // the driver key under the class key
  std::optional<std::string> friendly_name;
};

class Devices {
 public:
  virtual ~Devices() = default;
  // Every device of the network class, present or not.
  virtual Result<std::vector<NetDevice>> network_devices() = 0;
  // DIF_REMOVE with global scope.
  virtual Status remove_device(const std::string& instance_id) = 0;
  // A REG_SZ value under HKEY_LOCAL_MACHINE; nullopt when the key or the value
  // is absent.
  virtual Result<std::optional<std::string>> read_machine_string(const std::string& subkey, const std::string& value) = 0;
};

}  // namespace vorn::platform
