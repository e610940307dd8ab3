// Fakes of the network device set and the IP Helper tables.
#pragma once

#include "platform/devices.hpp"
#include "platform/ip_helper.hpp"

namespace vorn::testing {

class FakeDevices final : public platform::Devices {
 public:
  Result<std::vector<platform::NetDevice>> network_devices() override { return std::vector<platform::NetDevice>{}; }
  Status remove_device(const std::string&) override { return fail("not faked"); }
  Result<std::optional<std::string>> read_machine_string(const std::string&, const std::string&) override {
    return std::optional<std::string>{};
  }
};

class FakeIpHelper final : public platform::IpHelper {
 public:
  Result<std::uint64_t> alias_to_luid(const std::string&) override { return fail(Error::os(87, "The parameter is incorrect.")); }
  Result<std::string> luid_to_alias(std::uint64_t) override { return fail("not faked"); }
  Result<std::vector<platform::ForwardRow>> forward_table() override { return std::vector<platform::ForwardRow>{}; }
  Result<std::vector<platform::UnicastRow>> unicast_table() override { return std::vector<platform::UnicastRow>{}; }
  Result<platform::InterfaceRow> interface_entry(std::uint32_t) override { return fail("not faked"); }
  Result<std::uint32_t> interface_metric(std::uint64_t, bool) override { return fail("not faked"); }
};

}  // namespace vorn::testing
