// The IP Helper tables of the network stack, only ever read. Failures carry
// the call's return code as their operating-system code.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/error.hpp"

namespace vorn::platform {

enum class AddressFamily : std::uint8_t { Other, V4, V6 };

// An address as the stack holds it; `Other` for a family the system does not
// route (its bytes are then meaningless).
struct IpAddress {
  AddressFamily family = AddressFamily::Other;
  std::array<std::uint8_t, 16> bytes{};  // IPv4 in the first four

  friend bool operator==(const IpAddress&, const IpAddress&) = default;
};

struct ForwardRow {
  std::uint64_t luid = 0;
  std::uint32_t if_index = 0;
  IpAddress destination;
  std::uint8_t prefix_length = 0;
  IpAddress next_hop;
  std::uint32_t metric = 0;
};

struct UnicastRow {
  IpAddress address;
  std::uint64_t luid = 0;
  std::uint32_t if_index = 0;
  std::uint8_t on_link_prefix_length = 0;
  std::uint32_t dad_state = 0;  // 4 is preferred
};

struct InterfaceRow {
  std::uint64_t luid = 0;
  std::uint32_t if_index = 0;
  std::uint32_t type = 0;
  std::uint32_t oper_status = 0;
  bool hardware = false;
};

class IpHelper {
 public:
  virtual ~IpHelper() = default;
  // ConvertInterfaceAliasToLuid.
  virtual Result<std::uint64_t> alias_to_luid(const std::string& alias) = 0;
  // ConvertInterfaceLuidToAlias into 257 units: the units before the first
  // NUL.
  virtual Result<std::u16string> luid_to_alias(std::uint64_t luid) = 0;
  // Both families. nullopt when the call succeeded without giving a table.
  virtual Result<std::optional<std::vector<ForwardRow>>> forward_table() = 0;
  virtual Result<std::optional<std::vector<UnicastRow>>> unicast_table() = 0;
  // GetIfEntry2; the row carries the index the call returned.
  virtual Result<InterfaceRow> interface_entry(std::uint32_t if_index) = 0;
  // The interface metric of one family. Wine aborts the process inside this
  // call, so the Win32 layer refuses it there.
  virtual Result<std::uint32_t> interface_metric(std::uint64_t luid, bool v6) = 0;
};

}  // namespace vorn::platform
