// The one local proxy the core may serve for the user's own applications: a
// "mixed" inbound on 127.0.0.1 that the client marks with USER_PROXY_TAG. It is
// validated strictly and rebuilt from the few keys the system allows, so that
// nothing else the client put into it reaches the core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "support/error.hpp"
#include "support/json.hpp"

namespace vorn {

inline constexpr std::string_view USER_PROXY_TAG = "vorn-user-proxy";
inline constexpr std::uint64_t USER_PROXY_MIN_PORT = 1024;
inline constexpr std::size_t MAX_PROXY_CREDENTIAL_BYTES = 256;

// Ports the system keeps for itself: 9090 and 19090 to 19129.
bool is_reserved_proxy_port(std::uint64_t port);

// Nothing when the inbound is not tagged as the user proxy; otherwise the
// rebuilt inbound, or "helper: invalid user loopback proxy" (type, listen
// address or port) or "invalid proxy credentials" (the "users" entry), checked
// in that order.
Result<std::optional<Json>> normalize_user_proxy_inbound(const Json& inbound);

}  // namespace vorn
