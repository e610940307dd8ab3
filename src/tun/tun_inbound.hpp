// The one TUN inbound the core runs, built by the system from the client's
// settings rather than taken from the client.
#pragma once

#include <array>
#include <string_view>

#include "support/json.hpp"
#include "tun/tun_settings.hpp"

namespace vorn {

inline constexpr std::string_view TUN_INBOUND_TAG = "tun-in";

// The two halves of each address family, so that the captured routes are more
// specific than any default route already on the machine.
inline constexpr std::array<std::string_view, 4> TUN_ROUTE_ADDRESSES = {"0.0.0.0/1", "128.0.0.0/1", "::/1", "8000::/1"};

// Addresses from range 0 and "strict_route" false; the sanitizer sets the
// kill switch and the renderer the adapter name and the range in use.
Json build_tun_inbound(const TunSettings& settings);

}  // namespace vorn
