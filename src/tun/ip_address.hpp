// IP addresses as the system reads and writes them: literal IPv4 and IPv6
// texts, host-bit masking and the canonical text forms (dotted decimal, RFC
// 5952 compressed lower-case IPv6, IPv4-mapped as "::ffff:a.b.c.d"). Written
// here rather than taken from the socket library so that both targets parse
// and print every address the same way.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vorn {

struct Ipv4Address {
  std::array<std::uint8_t, 4> octets{};

  friend bool operator==(const Ipv4Address&, const Ipv4Address&) = default;
};

struct Ipv6Address {
  std::array<std::uint8_t, 16> bytes{};

  friend bool operator==(const Ipv6Address&, const Ipv6Address&) = default;
};

using IpAddress = std::variant<Ipv4Address, Ipv6Address>;

// A literal address: four decimal octets (no leading zeros, which other parsers
// read as octal), or an IPv6 text with at most one "::" and optionally a dotted
// IPv4 tail. Host names, zones, brackets, ports and white space are refused.
std::optional<IpAddress> parse_ip_address(std::string_view text);

std::string format_ip_address(const IpAddress& address);

// 32 or 128.
unsigned address_bits(const IpAddress& address);

// The address with every bit after the first `prefix_length` bits cleared.
IpAddress clear_host_bits(const IpAddress& address, unsigned prefix_length);

// "{address}/{length}".
std::string format_ip_prefix(const IpAddress& address, unsigned prefix_length);

}  // namespace vorn
