// The JSON form of the TUN route identity and of its baseline bypass entries,
// as the "status" reply carries them. Every key is always written.
#pragma once

#include "route_ownership/records.hpp"
#include "support/json.hpp"

namespace vorn {

Json tun_route_identity_to_value(const TunRouteIdentity& identity);
Json baseline_bypass_to_value(const BaselineBypass& bypass);

}  // namespace vorn
