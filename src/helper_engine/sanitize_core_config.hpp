// Turns the client's core configuration into the one the core runs: every
// client inbound gives way to the system's TUN inbound (taking only the stack,
// the MTU and the excluded routes of the client's first TUN inbound) and the
// rebuilt user proxy, the route section detects the outgoing interface itself
// and starts with the pinned DNS rules. Everything else passes through.
#pragma once

#include <string_view>

#include "support/error.hpp"
#include "support/json.hpp"

namespace vorn {

// The client's text must be one JSON object nested at most 127 deep, with only
// space, tab, line feed or carriage return around it; a key repeated within an
// object takes its last value.
Result<Json> sanitize_core_config(std::string_view config_json, bool kill_switch);

}  // namespace vorn
