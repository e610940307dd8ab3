// Fakes of the network device set and the IP Helper tables. Each call is
// counted so that tests and the benchmark can see how often the stack was
// asked.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/devices.hpp"
#include "platform/ip_helper.hpp"
#include "support/text.hpp"
#include "tun/ip_address.hpp"

namespace vorn::testing {

// The LUID the tests give a running TUN adapter.
inline constexpr std::uint64_t TUN_LUID = 0x0035'0000'0800'0000;

// One unicast address row: `text` on interface `index`, preferred (DAD state
// 4) unless told otherwise.
inline platform::UnicastRow unicast_host(std::string_view text, std::uint32_t index, std::uint32_t dad_state = 4,
                                         std::uint64_t luid = TUN_LUID) {
  platform::UnicastRow row{.luid = luid, .if_index = index, .on_link_prefix_length = 30, .dad_state = dad_state};
  const auto parsed = *parse_ip_address(text);
  if (const auto* v4 = std::get_if<Ipv4Address>(&parsed)) {
    row.address.family = platform::AddressFamily::V4;
    std::copy(v4->octets.begin(), v4->octets.end(), row.address.bytes.begin());
  } else {
    row.address.family = platform::AddressFamily::V6;
    row.address.bytes = std::get<Ipv6Address>(parsed).bytes;
  }
  return row;
}

// One device of the fake network class. A property not listed reads as
// absent (code 13, as SetupAPI reports a property the device does not have).
struct FakeNetDevice {
  std::optional<std::u16string> instance_id;  // nullopt: the query fails
  std::map<platform::DeviceProperty, std::expected<std::u16string, platform::Win32Code>> properties;
  bool removal_fails = false;
};

inline FakeNetDevice fake_device(std::string_view instance_id, std::optional<std::string_view> hardware_id = {},
                                 std::optional<std::string_view> driver = {},
                                 std::optional<std::string_view> friendly_name = {}) {
  FakeNetDevice device;
  device.instance_id = text::to_utf16(instance_id);
  if (hardware_id) device.properties[platform::DeviceProperty::HardwareId] = text::to_utf16(*hardware_id);
  if (driver) device.properties[platform::DeviceProperty::Driver] = text::to_utf16(*driver);
  if (friendly_name) device.properties[platform::DeviceProperty::FriendlyName] = text::to_utf16(*friendly_name);
  return device;
}

class FakeDevices final : public platform::Devices {
 public:
  std::vector<FakeNetDevice> devices;
  std::optional<platform::Win32Code> open_error;
  // Enumeration of this index fails with this code instead of reaching the
  // device.
  std::optional<std::pair<std::uint32_t, platform::Win32Code>> enumeration_error;
  // "subkey|value" to the value or the registry's return code; a missing
  // entry reads as absent (2).
  std::map<std::string, std::expected<std::u16string, platform::Win32Code>> registry;
  // Runs on the walking thread when the set is opened: a test may block or
  // throw here.
  std::function<void()> on_open;

  std::atomic<int> sets_opened{0};
  std::atomic<int> sets_destroyed{0};
  std::vector<std::string> removed;  // instance identifiers, in order
  std::vector<std::string> thread_names;

  class Set final : public platform::NetDeviceSet {
   public:
    explicit Set(FakeDevices& owner) : owner_(owner) {}
    ~Set() override { ++owner_.sets_destroyed; }
    std::expected<void, platform::Win32Code> select(std::uint32_t index) override {
      if (owner_.enumeration_error && owner_.enumeration_error->first == index)
        return std::unexpected(owner_.enumeration_error->second);
      if (index >= owner_.devices.size()) return std::unexpected(259u);
      current_ = &owner_.devices[index];
      return {};
    }
    std::optional<std::u16string> instance_id() override { return current_->instance_id; }
    std::expected<std::u16string, platform::Win32Code> registry_property(platform::DeviceProperty property) override {
      const auto found = current_->properties.find(property);
      if (found == current_->properties.end()) return std::unexpected(13u);
      return found->second;
    }
    Status remove_current() override {
      if (current_->removal_fails) return fail(Error::os(5, "Access is denied."));
      owner_.removed.push_back(text::from_utf16_lossy(current_->instance_id.value_or(u"")));
      return {};
    }

   private:
    FakeDevices& owner_;
    FakeNetDevice* current_ = nullptr;
  };

  Result<std::unique_ptr<platform::NetDeviceSet>> open_network_class() override {
    if (on_open) on_open();
    if (open_error) return fail(Error::os(*open_error, "The system cannot find the file specified."));
    ++sets_opened;
    return std::make_unique<Set>(*this);
  }
  std::expected<std::u16string, platform::Win32Code> read_machine_string(const std::string& subkey,
                                                                        const std::string& value) override {
    const auto found = registry.find(subkey + "|" + value);
    if (found == registry.end()) return std::unexpected(2u);
    return found->second;
  }
  void name_current_thread(const std::string& name) override { thread_names.push_back(name); }
};

// Calls made to the fake IP Helper, by kind.
struct IpHelperCalls {
  std::uint64_t alias_to_luid = 0;
  std::uint64_t luid_to_alias = 0;
  std::uint64_t forward_table = 0;
  std::uint64_t unicast_table = 0;
  std::uint64_t interface_entry = 0;
  std::uint64_t interface_metric = 0;
};

class FakeIpHelper final : public platform::IpHelper {
 public:
  std::vector<platform::ForwardRow> routes;
  std::vector<platform::UnicastRow> unicast;
  std::map<std::uint32_t, platform::InterfaceRow> interfaces;  // by index
  std::map<std::uint64_t, std::u16string> aliases;             // by LUID
  std::map<std::pair<std::uint64_t, bool>, std::uint32_t> metrics;
  std::map<std::string, std::uint64_t> luids;  // by alias

  std::optional<std::uint32_t> forward_error;
  bool forward_without_table = false;
  std::optional<std::uint32_t> unicast_error;
  bool unicast_without_table = false;
  std::uint32_t alias_lookup_error = 87;  // for an alias not in `luids`

  // Called after each read of a table with the number of that read (1 for
  // the first), so that a test can change the stack between two reads.
  std::function<void(std::uint64_t)> after_forward_read;
  std::function<void(std::uint64_t)> after_unicast_read;

  IpHelperCalls calls;

  Result<std::uint64_t> alias_to_luid(const std::string& alias) override {
    ++calls.alias_to_luid;
    const auto found = luids.find(alias);
    if (found == luids.end()) return fail(Error::os(alias_lookup_error, "The parameter is incorrect."));
    return found->second;
  }
  Result<std::u16string> luid_to_alias(std::uint64_t luid) override {
    ++calls.luid_to_alias;
    const auto found = aliases.find(luid);
    if (found == aliases.end()) return fail(Error::os(1168, "Element not found."));
    return found->second;
  }
  Result<std::optional<std::vector<platform::ForwardRow>>> forward_table() override {
    ++calls.forward_table;
    Result<std::optional<std::vector<platform::ForwardRow>>> result = std::optional(routes);
    if (forward_error) result = fail(Error::os(*forward_error, "The parameter is incorrect."));
    else if (forward_without_table) result = std::optional<std::vector<platform::ForwardRow>>{};
    if (after_forward_read) after_forward_read(calls.forward_table);
    return result;
  }
  Result<std::optional<std::vector<platform::UnicastRow>>> unicast_table() override {
    ++calls.unicast_table;
    Result<std::optional<std::vector<platform::UnicastRow>>> result = std::optional(unicast);
    if (unicast_error) result = fail(Error::os(*unicast_error, "The parameter is incorrect."));
    else if (unicast_without_table) result = std::optional<std::vector<platform::UnicastRow>>{};
    if (after_unicast_read) after_unicast_read(calls.unicast_table);
    return result;
  }
  Result<platform::InterfaceRow> interface_entry(std::uint32_t if_index) override {
    ++calls.interface_entry;
    const auto found = interfaces.find(if_index);
    if (found == interfaces.end()) return fail(Error::os(1168, "Element not found."));
    return found->second;
  }
  Result<std::uint32_t> interface_metric(std::uint64_t luid, bool v6) override {
    ++calls.interface_metric;
    const auto found = metrics.find({luid, v6});
    if (found == metrics.end()) return fail(Error::os(1168, "Element not found."));
    return found->second;
  }
};

}  // namespace vorn::testing
