#include "tun/launch_config.hpp"

#include "tun/address_ranges.hpp"

namespace vorn {

Result<std::string> render_launch_config(const Json& config, std::string_view adapter_name, std::size_t range_index) {
  Json copy = config;
  const TunAddressRange& range = TUN_ADDRESS_RANGES[range_index < TUN_ADDRESS_RANGES.size() ? range_index : 0];

  Json* inbounds = nullptr;
  if (copy.is_object()) {
    if (const auto it = copy.find("inbounds"); it != copy.end() && it->is_array()) inbounds = &*it;
  }
  if (inbounds) {
    for (auto& inbound : *inbounds) {
      if (!inbound.is_object()) continue;
      const auto type = inbound.find("type");
      if (type != inbound.end() && type->is_string() && type->get_ref<const std::string&>() == "tun") {
        inbound["address"] = Json::array({range.ipv4, range.ipv6});
      }
    }
  }
  // Only an object can carry the adapter name; anything else in the first
  // place is not the TUN inbound a sanitized configuration always has there.
  if (!inbounds || inbounds->empty() || !inbounds->front().is_object()) {
    return fail("helper: sanitized config has no tun inbound");
  }
  inbounds->front()["interface_name"] = std::string(adapter_name);

  try {
    return copy.dump(2);
  } catch (const Json::exception& e) {
    return fail(Error(e.what()).context("helper: failed to re-serialize config"));
  }
}

}  // namespace vorn
