// The network stack through the real Win32 layer under Wine: the device walk
// of the stale-adapter cleanup, the baseline bypass snapshot and the TUN
// route identity. Wine has no Wintun devices and no IPv6 routes, and its
// GetIpInterfaceEntry would abort this process: reaching the end of these
// tests shows that the layer never calls it here.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "helper_engine/engine.hpp"
#include "platform/win32/system.hpp"
#include "platform/win32/windows_support.hpp"
#include "route_ownership/bypass_snapshot.hpp"
#include "route_ownership/route_identity.hpp"
#include "tun_adapter/adapter_cleanup.hpp"

namespace vorn {
namespace {

using ::testing::IsEmpty;

TEST(NetworkDevices, CleanupOnAMachineWithoutWintunRemovesNothing) {
  const auto walked = remove_stale_own_adapters(platform::win32_devices());
  ASSERT_TRUE(walked.has_value()) << walked.error().full();
  EXPECT_THAT(*walked, IsEmpty());

  const auto bounded = run_adapter_cleanup_bounded(platform::win32_devices(), ADAPTER_CLEANUP_LIMIT);
  ASSERT_TRUE(bounded.has_value()) << bounded.error().full();
  EXPECT_THAT(*bounded, IsEmpty());
  EXPECT_FALSE(ADAPTER_CLEANUP_BUSY.load());
}

// The real device layer, reading back the name the worker thread was given.
class NameReadingDevices final : public platform::Devices {
 public:
  Result<std::unique_ptr<platform::NetDeviceSet>> open_network_class() override {
    return platform::win32_devices().open_network_class();
  }
  std::expected<std::u16string, platform::Win32Code> read_machine_string(const std::string& subkey,
                                                                        const std::string& value) override {
    return platform::win32_devices().read_machine_string(subkey, value);
  }
  void name_current_thread(const std::string& name) override {
    platform::win32_devices().name_current_thread(name);
    using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);
    const auto get = reinterpret_cast<GetDescription>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
    PWSTR description = nullptr;
    if (get && SUCCEEDED(get(::GetCurrentThread(), &description)) && description) {
      seen = win32::narrow(description);
      ::LocalFree(description);
    }
  }
  std::string seen;
};

TEST(NetworkDevices, TheWorkerThreadCarriesItsName) {
  static NameReadingDevices devices;  // a worker may outlive a failed wait
  const auto result = run_adapter_cleanup_bounded(devices, ADAPTER_CLEANUP_LIMIT);
  ASSERT_TRUE(result.has_value()) << result.error().full();
  EXPECT_EQ(devices.seen, "vorn-adapter-cleanup");
}

TEST(NetworkDevices, TheNetworkClassSetEndsAtIndexZero) {
  auto set = platform::win32_devices().open_network_class();
  ASSERT_TRUE(set.has_value()) << set.error().full();
  const auto first = (*set)->select(0);
  ASSERT_FALSE(first.has_value());
  EXPECT_EQ(first.error(), 259u);
}

TEST(NetworkDevices, MachineStringsReadAndAbsentKeys) {
  auto& devices = platform::win32_devices();
  const auto product = hklm_reg_sz(devices, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "ProductName");
  ASSERT_TRUE(product.has_value()) << product.error().full();
  EXPECT_TRUE(product->has_value());
  // The network class key is absent here (2), which counts as no value.
  const auto missing = hklm_reg_sz(
      devices, "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\{00000000-0000-0000-0000-000000000000}\\Connection",
      "Name");
  ASSERT_TRUE(missing.has_value()) << missing.error().full();
  EXPECT_FALSE(missing->has_value());
  // An empty string is no value either.
  const auto empty = hklm_reg_sz(devices, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "RegisteredOwner");
  ASSERT_TRUE(empty.has_value()) << empty.error().full();
  EXPECT_FALSE(empty->has_value());
  // A value of another type is a doubt, with the registry's code.
  const auto dword = hklm_reg_sz(devices, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "InstallDate");
  ASSERT_FALSE(dword.has_value());
  EXPECT_EQ(dword.error().full(), "adapter cleanup: alias identity query failed (1630)");
}

// The IPv4 addresses of the machine's Ethernet interfaces that are up, as
// the raw tables show them.
struct EthernetAddress {
  std::uint32_t if_index;
  std::uint64_t luid;
  platform::UnicastRow row;
};

std::vector<EthernetAddress> ethernet_addresses(platform::IpHelper& ip) {
  std::vector<EthernetAddress> found;
  const auto table = ip.unicast_table();
  if (!table || !*table) return found;
  for (const auto& row : **table) {
    if (row.address.family != platform::AddressFamily::V4 || row.dad_state != 4) continue;
    const auto entry = ip.interface_entry(row.if_index);
    if (entry && entry->type == 6 && entry->oper_status == 1 && entry->hardware)
      found.push_back({row.if_index, entry->luid, row});
  }
  return found;
}

TEST(IpHelperTables, TheStackIsReadableWithoutTheInterfaceMetric) {
  auto& ip = platform::win32_ip_helper();
  const auto rows = snapshot_route_table(ip);
  ASSERT_TRUE(rows.has_value()) << rows.error().full();
  ASSERT_FALSE(rows->empty());
  // Every alias of a route's interface is readable here.
  for (const RouteRow& row : *rows) EXPECT_FALSE(row.alias.empty()) << row.if_index;

  const auto metric = ip.interface_metric(1, false);
  ASSERT_FALSE(metric.has_value());
  EXPECT_EQ(metric.error().os_code(), 50u);

  const auto ethernet = ethernet_addresses(ip);
  ASSERT_FALSE(ethernet.empty()) << "the sandbox's eth0";
  const auto entry = ip.interface_entry(ethernet.front().if_index);
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->if_index, ethernet.front().if_index);
  const auto alias = ip.luid_to_alias(entry->luid);
  ASSERT_TRUE(alias.has_value());
  EXPECT_FALSE(alias->empty());
}

TEST(IpHelperTables, BaselineBypassHoldsThePrivateSubnetOfEachLan) {
  auto& ip = platform::win32_ip_helper();
  const std::vector<BaselineBypass> entries = snapshot_baseline_bypass(ip);
  std::vector<std::string> expected;
  for (const auto& ethernet : ethernet_addresses(ip)) {
    const auto& b = ethernet.row.address.bytes;
    const bool is_private = b[0] == 10 || (b[0] == 172 && b[1] >= 16 && b[1] <= 31) || (b[0] == 192 && b[1] == 168) ||
                            (b[0] == 169 && b[1] == 254);
    if (!is_private) continue;
    const unsigned length = ethernet.row.on_link_prefix_length;
    const std::uint32_t value = (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
    const std::uint32_t network = length == 0 ? 0 : value & ~((length == 32 ? 0u : (0xFFFFFFFFu >> length)));
    expected.push_back(std::to_string(network >> 24) + "." + std::to_string((network >> 16) & 255) + "." +
                       std::to_string((network >> 8) & 255) + "." + std::to_string(network & 255) + "/" +
                       std::to_string(length));
  }
  std::vector<std::string> found;
  for (const BaselineBypass& entry : entries) {
    EXPECT_FALSE(entry.v6);  // Wine lists no IPv6 routes
    EXPECT_NE(entry.wan_luid, 0u);
    EXPECT_FALSE(entry.addresses.empty());
    found.push_back(entry.prefix);
  }
  // Here eth0 sits on a documentation network, which is not private: then
  // the list is empty.
  EXPECT_THAT(found, ::testing::UnorderedElementsAreArray(expected));
}

TEST(IpHelperTables, IdentityOfAnAbsentAdapterIsLoggedOnce) {
  platform::Platform& os = platform::win32_platform();
  auto engine = HelperEngine::create(os);
  ASSERT_TRUE(engine.has_value());
  {
    const std::lock_guard guard(ROUTE_REASON_STATE.lock);
    ROUTE_REASON_STATE.last.reset();
  }
  EXPECT_FALSE(capture_tun_route_identity("Vorn", 0, {}, {}, *engine));
  EXPECT_FALSE(capture_tun_route_identity("Vorn", 0, {"203.0.113.0/24"}, {}, *engine));
  const auto lines = engine->logs(0).lines;
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_search(
      lines[0], std::regex("\\[route-reason\\] stage=Identity reason=NativeApi api=AliasToLuid api_code=Some\\(87\\) "
                           "family=Unspecified destination_class=None witness_scope=None query_pass=None "
                           "point_ordinal=None witness_count=0 foreign_interface=None elapsed_ms=[0-9]+ "
                           "identity_present=false previous_repetitions=0 previous_first_elapsed_ms=0$")))
      << lines[0];
}

}  // namespace
}  // namespace vorn
