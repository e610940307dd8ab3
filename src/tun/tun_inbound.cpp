#include "tun/tun_inbound.hpp"

#include "tun/address_ranges.hpp"

namespace vorn {

Json build_tun_inbound(const TunSettings& settings) {
  Json inbound = Json::object();
  inbound["address"] = Json::array({TUN_ADDRESS_RANGES[0].ipv4, TUN_ADDRESS_RANGES[0].ipv6});
  inbound["auto_route"] = true;
  inbound["mtu"] = settings.mtu;
  Json routes = Json::array();
  for (const auto route : TUN_ROUTE_ADDRESSES) routes.push_back(route);
  inbound["route_address"] = std::move(routes);
  if (!settings.route_exclude_address.empty()) inbound["route_exclude_address"] = settings.route_exclude_address;
  inbound["stack"] = settings.stack;
  inbound["strict_route"] = false;
  inbound["tag"] = TUN_INBOUND_TAG;
  inbound["type"] = "tun";
  return inbound;
}

}  // namespace vorn
