#include "tun/tun_settings.hpp"

#include <algorithm>
#include <optional>

#include "tun/route_excludes.hpp"

namespace vorn {
namespace {

const Json* first_tun_inbound(const Json& root) {
  if (!root.is_object()) return nullptr;
  const auto inbounds = root.find("inbounds");
  if (inbounds == root.end() || !inbounds->is_array()) return nullptr;
  for (const auto& inbound : *inbounds) {
    if (!inbound.is_object()) continue;
    const auto type = inbound.find("type");
    if (type != inbound.end() && type->is_string() && type->get_ref<const std::string&>() == "tun") return &inbound;
  }
  return nullptr;
}

// A float such as 1500.0 or a negative number is never a usable MTU.
std::optional<std::uint64_t> non_negative_integer(const Json& value) {
  if (value.is_number_unsigned()) return value.get<std::uint64_t>();
  if (value.is_number_integer() && value.get<std::int64_t>() >= 0) return static_cast<std::uint64_t>(value.get<std::int64_t>());
  return std::nullopt;
}

}  // namespace

TunSettings read_tun_settings(const Json& root) {
  TunSettings settings;
  const Json* tun = first_tun_inbound(root);
  if (!tun) return settings;

  if (const auto mtu = tun->find("mtu"); mtu != tun->end()) {
    const auto value = non_negative_integer(*mtu);
    if (value && std::ranges::find(ALLOWED_TUN_MTUS, *value) != ALLOWED_TUN_MTUS.end()) {
      settings.mtu = static_cast<std::uint32_t>(*value);
    }
  }

  if (const auto excludes = tun->find("route_exclude_address"); excludes != tun->end() && excludes->is_array()) {
    std::vector<std::string> items;
    for (const auto& item : *excludes) {
      if (item.is_string()) items.push_back(item.get<std::string>());
    }
    settings.route_exclude_address = normalize_route_excludes(items);
  }

  if (const auto stack = tun->find("stack"); stack != tun->end() && stack->is_string()) {
    const auto& text = stack->get_ref<const std::string&>();
    if (std::ranges::find(ALLOWED_TUN_STACKS, text) != ALLOWED_TUN_STACKS.end()) settings.stack = text;
  }
  return settings;
}

}  // namespace vorn
