#include "route_ownership/route_identity_json.hpp"

namespace vorn {

Json tun_route_identity_to_value(const TunRouteIdentity& identity) {
  Json bypass = Json::array();
  for (const BaselineBypass& entry : identity.baseline_bypass) bypass.push_back(baseline_bypass_to_value(entry));
  Json value = Json::object();
  value["name"] = identity.name;
  value["luid"] = identity.luid;
  value["range"] = identity.range;
  value["ipv4_index"] = identity.ipv4_index;
  value["ipv6_index"] = identity.ipv6_index;
  value["exclusions"] = identity.exclusions;
  value["baseline_bypass"] = std::move(bypass);
  return value;
}

Json baseline_bypass_to_value(const BaselineBypass& bypass) {
  Json value = Json::object();
  value["prefix"] = bypass.prefix;
  value["wan_luid"] = bypass.wan_luid;
  value["wan_index"] = bypass.wan_index;
  value["v6"] = bypass.v6;
  value["addresses"] = bypass.addresses;
  return value;
}

}  // namespace vorn
