#include "tun/route_excludes.hpp"

#include <optional>
#include <string_view>
#include <unordered_set>

#include "support/text.hpp"
#include "tun/ip_address.hpp"

namespace vorn {
namespace {

// 1 to 3 ASCII digits with a value of at most 255; leading zeros are allowed.
std::optional<unsigned> parse_prefix_length(std::string_view digits) {
  if (digits.empty() || digits.size() > 3) return std::nullopt;
  unsigned value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 255) return std::nullopt;
  return value;
}

std::optional<std::string> canonical_prefix(std::string_view item) {
  const std::string_view text = vorn::text::trim(item);
  if (text.empty()) return std::nullopt;
  const std::size_t slash = text.find('/');
  std::optional<unsigned> length;
  if (slash != std::string_view::npos) {
    length = parse_prefix_length(text.substr(slash + 1));
    if (!length) return std::nullopt;
  }
  const auto address = parse_ip_address(vorn::text::trim(text.substr(0, slash)));
  if (!address) return std::nullopt;
  const unsigned bits = address_bits(*address);
  const unsigned prefix = length.value_or(bits);
  if (prefix < 1 || prefix > bits) return std::nullopt;
  return format_ip_prefix(clear_host_bits(*address, prefix), prefix);
}

}  // namespace

std::vector<std::string> normalize_route_excludes(const std::vector<std::string>& items) {
  std::vector<std::string> out;
  std::unordered_set<std::string> seen;
  for (const auto& item : items) {
    auto prefix = canonical_prefix(item);
    if (!prefix) continue;
    if (out.size() == MAX_ROUTE_EXCLUDES) break;
    if (seen.insert(*prefix).second) out.push_back(std::move(*prefix));
  }
  return out;
}

}  // namespace vorn
