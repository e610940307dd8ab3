// The bytes of the configuration file the core is started on.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "support/error.hpp"
#include "support/json.hpp"

namespace vorn {

// A copy of the stored sanitized configuration with the chosen address range
// (entry 0 for an index beyond the table) on every TUN inbound and the adapter
// name on inbound 0, pretty-printed with a two-space indent and no final
// newline. The stored value is never changed, so every launch starts from the
// same configuration.
Result<std::string> render_launch_config(const Json& config, std::string_view adapter_name, std::size_t range_index);

}  // namespace vorn
