// SetupAPI's network-class devices and the registry values that name them,
// for removing stale own adapters. The calls are passed through one by one,
// with their raw Win32 codes, because the walk above them decides what each
// code means and must stop at the first doubt.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>

#include "support/error.hpp"

namespace vorn::platform {

// SetupAPI device registry properties, by their SPDRP_ codes.
enum class DeviceProperty : std::uint32_t { HardwareId = 1, Driver = 9, FriendlyName = 12 };

// The Win32 code of a failed call (GetLastError, or a registry return code).
using Win32Code = std::uint32_t;

// One open device information set. Destroying the object destroys the set
// exactly once.
class NetDeviceSet {
 public:
  virtual ~NetDeviceSet() = default;
  // Makes member `index` the current device; fails with the last error, 259
  // past the last member.
  virtual std::expected<void, Win32Code> select(std::uint32_t index) = 0;
  // The current device's instance identifier read into 512 UTF-16 units: the
  // units before the first NUL, all 512 when there is none; nullopt when the
  // call fails.
  virtual std::optional<std::u16string> instance_id() = 0;
  // One registry property of the current device read into 2048 bytes: the
  // units before the first NUL (for a multi-string, its first string); the
  // last error when the call fails.
  virtual std::expected<std::u16string, Win32Code> registry_property(DeviceProperty property) = 0;
  // DIF_REMOVE with global scope on the current device: the class-install
  // parameters, then the class installer. The error keeps the last error.
  virtual Status remove_current() = 0;
};

class Devices {
 public:
  virtual ~Devices() = default;
  // Every device of the network class, present or not. The error keeps the
  // last error.
  virtual Result<std::unique_ptr<NetDeviceSet>> open_network_class() = 0;
  // A REG_SZ value under HKEY_LOCAL_MACHINE read into 1024 bytes: the units
  // before the first NUL; the registry's return code when the read fails.
  virtual std::expected<std::u16string, Win32Code> read_machine_string(const std::string& subkey,
                                                                      const std::string& value) = 0;
  // Gives the calling thread a name that debuggers and dumps show.
  virtual void name_current_thread(const std::string& name) = 0;
};

}  // namespace vorn::platform
