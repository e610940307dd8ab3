#include "tun/ip_address.hpp"

#include <algorithm>
#include <cstddef>

namespace vorn {
namespace {

std::optional<Ipv4Address> parse_ipv4(std::string_view text) {
  Ipv4Address out;
  std::size_t pos = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    const std::size_t start = pos;
    unsigned value = 0;
    while (pos < text.size() && pos - start < 3 && text[pos] >= '0' && text[pos] <= '9') {
      value = value * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
    }
    const std::size_t digits = pos - start;
    if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return std::nullopt;
    out.octets[i] = static_cast<std::uint8_t>(value);
  }
  if (pos != text.size()) return std::nullopt;
  return out;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::uint16_t> parse_group(std::string_view part) {
  if (part.empty() || part.size() > 4) return std::nullopt;
  unsigned value = 0;
  for (char c : part) {
    const int digit = hex_value(c);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return static_cast<std::uint16_t>(value);
}

std::optional<Ipv6Address> parse_ipv6(std::string_view text) {
  std::array<std::uint16_t, 8> groups{};
  std::size_t count = 0;
  std::optional<std::size_t> gap;  // the group index where "::" stands
  std::size_t pos = 0;
  if (text.starts_with("::")) {
    gap = 0;
    pos = 2;
  }
  while (pos < text.size() || !gap) {
    if (count == 8) return std::nullopt;
    const std::size_t end = text.find(':', pos);
    const std::string_view part = text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    if (part.find('.') != std::string_view::npos) {
      // A dotted IPv4 tail ends the text and fills the last two groups.
      if (end != std::string_view::npos || count > 6) return std::nullopt;
      const auto v4 = parse_ipv4(part);
      if (!v4) return std::nullopt;
      groups[count++] = static_cast<std::uint16_t>(v4->octets[0] << 8 | v4->octets[1]);
      groups[count++] = static_cast<std::uint16_t>(v4->octets[2] << 8 | v4->octets[3]);
      break;
    }
    const auto group = parse_group(part);
    if (!group) return std::nullopt;
    groups[count++] = *group;
    if (end == std::string_view::npos) break;
    pos = end + 1;
    if (pos < text.size() && text[pos] == ':') {
      if (gap) return std::nullopt;
      gap = count;
      ++pos;
    } else if (pos == text.size()) {
      return std::nullopt;  // a single trailing ':'
    }
  }
  if (gap) {
    // "::" stands for at least one zero group.
    if (count > 7) return std::nullopt;
    std::move_backward(groups.begin() + static_cast<std::ptrdiff_t>(*gap), groups.begin() + static_cast<std::ptrdiff_t>(count),
                       groups.end());
    std::fill(groups.begin() + static_cast<std::ptrdiff_t>(*gap), groups.begin() + static_cast<std::ptrdiff_t>(*gap + 8 - count), 0);
  } else if (count != 8) {
    return std::nullopt;
  }
  Ipv6Address out;
  for (std::size_t i = 0; i < 8; ++i) {
    out.bytes[2 * i] = static_cast<std::uint8_t>(groups[i] >> 8);
    out.bytes[2 * i + 1] = static_cast<std::uint8_t>(groups[i] & 0xFF);
  }
  return out;
}

void append_dotted(const std::uint8_t* octets, std::string& out) {
  for (std::size_t i = 0; i < 4; ++i) {
    if (i > 0) out += '.';
    out += std::to_string(octets[i]);
  }
}

std::string format_ipv6(const Ipv6Address& address) {
  const auto& b = address.bytes;
  std::string out;
  if (std::all_of(b.begin(), b.begin() + 10, [](std::uint8_t x) { return x == 0; }) && b[10] == 0xFF && b[11] == 0xFF) {
    out = "::ffff:";
    append_dotted(b.data() + 12, out);
    return out;
  }
  std::array<unsigned, 8> groups{};
  for (std::size_t i = 0; i < 8; ++i) groups[i] = static_cast<unsigned>(b[2 * i] << 8 | b[2 * i + 1]);
  // The longest run of two or more zero groups, the first one on a tie.
  std::size_t best_start = 8, best_length = 1;
  for (std::size_t i = 0; i < 8;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > best_length) {
      best_start = i;
      best_length = j - i;
    }
    i = j;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  for (std::size_t i = 0; i < 8; ++i) {
    if (i == best_start) {
      out += "::";
      i += best_length - 1;
      continue;
    }
    if (i > 0 && i != best_start + best_length) out += ':';
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const unsigned digit = groups[i] >> shift & 0xF;
      if (digit != 0 || started || shift == 0) {
        out += kHex[digit];
        started = true;
      }
    }
  }
  return out;
}

template <std::size_t N>
void clear_bits(std::array<std::uint8_t, N>& bytes, unsigned prefix_length) {
  for (std::size_t i = 0; i < N; ++i) {
    const unsigned kept = prefix_length >= 8 * (i + 1) ? 8 : prefix_length > 8 * i ? prefix_length - 8 * static_cast<unsigned>(i) : 0;
    bytes[i] &= static_cast<std::uint8_t>(kept == 0 ? 0 : 0xFF << (8 - kept));
  }
}

}  // namespace

std::optional<IpAddress> parse_ip_address(std::string_view text) {
  if (const auto v4 = parse_ipv4(text)) return IpAddress(*v4);
  if (const auto v6 = parse_ipv6(text)) return IpAddress(*v6);
  return std::nullopt;
}

std::string format_ip_address(const IpAddress& address) {
  if (const auto* v4 = std::get_if<Ipv4Address>(&address)) {
    std::string out;
    append_dotted(v4->octets.data(), out);
    return out;
  }
  return format_ipv6(std::get<Ipv6Address>(address));
}

unsigned address_bits(const IpAddress& address) { return std::holds_alternative<Ipv4Address>(address) ? 32 : 128; }

IpAddress clear_host_bits(const IpAddress& address, unsigned prefix_length) {
  IpAddress out = address;
  std::visit([&](auto& a) {
    if constexpr (std::is_same_v<std::decay_t<decltype(a)>, Ipv4Address>) {
      clear_bits(a.octets, prefix_length);
    } else {
      clear_bits(a.bytes, prefix_length);
    }
  }, out);
  return out;
}

std::string format_ip_prefix(const IpAddress& address, unsigned prefix_length) {
  return format_ip_address(address) + "/" + std::to_string(prefix_length);
}

}  // namespace vorn
