#include "platform/ip_helper.hpp"
#include "platform/win32/system.hpp"
#include "platform/win32/windows_support.hpp"

#include <cstring>

namespace vorn::platform {
namespace {

// Wine's GetIpInterfaceEntry is a stub that aborts the whole process.
bool running_under_wine() {
  static const bool wine = [] {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

IpAddress from_sockaddr(const SOCKADDR_INET& address) {
  IpAddress out;
  if (address.si_family == AF_INET) {
    out.family = AddressFamily::V4;
    std::memcpy(out.bytes.data(), &address.Ipv4.sin_addr, 4);
  } else if (address.si_family == AF_INET6) {
    out.family = AddressFamily::V6;
    std::memcpy(out.bytes.data(), &address.Ipv6.sin6_addr, 16);
  }
  return out;
}

class WindowsIpHelper final : public IpHelper {
 public:
  Result<std::uint64_t> alias_to_luid(const std::string& alias) override {
    NET_LUID luid{};
    luid.Value = 0;
    const DWORD status = ::ConvertInterfaceAliasToLuid(win32::wide(alias).c_str(), &luid);
    if (status != NO_ERROR) return fail(win32::os_error(status));
    return luid.Value;
  }

  Result<std::u16string> luid_to_alias(std::uint64_t luid) override {
    NET_LUID key{};
    key.Value = luid;
    wchar_t buffer[257]{};
    const DWORD status = ::ConvertInterfaceLuidToAlias(&key, buffer, 257);
    if (status != NO_ERROR) return fail(win32::os_error(status));
    return win32::units_before_nul(buffer, 257);
  }

  Result<std::optional<std::vector<ForwardRow>>> forward_table() override {
    PMIB_IPFORWARD_TABLE2 raw = nullptr;
    const DWORD status = ::GetIpForwardTable2(AF_UNSPEC, &raw);
    const win32::unique_mib_table<MIB_IPFORWARD_TABLE2> table(raw);
    if (status != NO_ERROR) return fail(win32::os_error(status));
    if (!table) return std::optional<std::vector<ForwardRow>>{};
    std::vector<ForwardRow> rows;
    rows.reserve(table.get()->NumEntries);
    for (ULONG i = 0; i < table.get()->NumEntries; ++i) {
      const MIB_IPFORWARD_ROW2& row = table.get()->Table[i];
      rows.push_back(ForwardRow{
          .luid = row.InterfaceLuid.Value,
          .if_index = row.InterfaceIndex,
          .destination = from_sockaddr(row.DestinationPrefix.Prefix),
          .prefix_length = row.DestinationPrefix.PrefixLength,
          .next_hop = from_sockaddr(row.NextHop),
          .metric = row.Metric,
      });
    }
    return std::optional(std::move(rows));
  }

  Result<std::optional<std::vector<UnicastRow>>> unicast_table() override {
    PMIB_UNICASTIPADDRESS_TABLE raw = nullptr;
    const DWORD status = ::GetUnicastIpAddressTable(AF_UNSPEC, &raw);
    const win32::unique_mib_table<MIB_UNICASTIPADDRESS_TABLE> table(raw);
    if (status != NO_ERROR) return fail(win32::os_error(status));
    if (!table) return std::optional<std::vector<UnicastRow>>{};
    std::vector<UnicastRow> rows;
    rows.reserve(table.get()->NumEntries);
    for (ULONG i = 0; i < table.get()->NumEntries; ++i) {
      const MIB_UNICASTIPADDRESS_ROW& row = table.get()->Table[i];
      rows.push_back(UnicastRow{
          .address = from_sockaddr(row.Address),
          .luid = row.InterfaceLuid.Value,
          .if_index = row.InterfaceIndex,
          .on_link_prefix_length = row.OnLinkPrefixLength,
          .dad_state = static_cast<std::uint32_t>(row.DadState),
      });
    }
    return std::optional(std::move(rows));
  }

  Result<InterfaceRow> interface_entry(std::uint32_t if_index) override {
    MIB_IF_ROW2 row{};
    row.InterfaceIndex = if_index;
    const DWORD status = ::GetIfEntry2(&row);
    if (status != NO_ERROR) return fail(win32::os_error(status));
    return InterfaceRow{
        .luid = row.InterfaceLuid.Value,
        .if_index = row.InterfaceIndex,
        .type = row.Type,
        .oper_status = static_cast<std::uint32_t>(row.OperStatus),
        .hardware = row.InterfaceAndOperStatusFlags.HardwareInterface != 0,
    };
  }

  Result<std::uint32_t> interface_metric(std::uint64_t luid, bool v6) override {
    if (running_under_wine()) return fail(win32::os_error(ERROR_NOT_SUPPORTED));
    MIB_IPINTERFACE_ROW row{};
    row.Family = v6 ? AF_INET6 : AF_INET;
    row.InterfaceLuid.Value = luid;
    const DWORD status = ::GetIpInterfaceEntry(&row);
    if (status != NO_ERROR) return fail(win32::os_error(status));
    return static_cast<std::uint32_t>(row.Metric);
  }
};

}  // namespace

IpHelper& win32_ip_helper() {
  static WindowsIpHelper helper;
  return helper;
}

}  // namespace vorn::platform
