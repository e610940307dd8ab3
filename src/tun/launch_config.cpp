#include "tun/launch_config.hpp"

#include "tun/address_ranges.hpp"

namespace vorn {
namespace {

// Appends `value` in the two-space pretty form as a member of the root
// object, one level deep. A dumped value holds a raw line feed only between
// its lines (a line feed inside a string is escaped), so indenting after each
// one gives exactly what dumping the whole root would.
void append_member(std::string& out, const std::string& key, const Json& value) {
  out += "  ";
  out += Json(key).dump();
  out += ": ";
  const std::string text = value.dump(2);
  std::size_t from = 0;
  for (std::size_t line_end; (line_end = text.find('\n', from)) != std::string::npos; from = line_end + 1) {
    out.append(text, from, line_end + 1 - from);
    out += "  ";
  }
  out.append(text, from);
}

}  // namespace

Result<std::string> render_launch_config(const Json& config, std::string_view adapter_name, std::size_t range_index) {
  const TunAddressRange& range = TUN_ADDRESS_RANGES[range_index < TUN_ADDRESS_RANGES.size() ? range_index : 0];

  // Only the inbounds change, so only they are copied: the rest of a large
  // configuration is written straight from the stored value.
  const auto stored = config.is_object() ? config.find("inbounds") : config.end();
  if (stored == config.end() || !stored->is_array() || stored->empty() || !stored->front().is_object()) {
    // Only an object can carry the adapter name; anything else in the first
    // place is not the TUN inbound a sanitized configuration always has there.
    return fail("helper: sanitized config has no tun inbound");
  }
  Json inbounds = *stored;
  for (auto& inbound : inbounds) {
    if (!inbound.is_object()) continue;
    const auto type = inbound.find("type");
    if (type != inbound.end() && type->is_string() && type->get_ref<const std::string&>() == "tun") {
      inbound["address"] = Json::array({range.ipv4, range.ipv6});
    }
  }
  inbounds.front()["interface_name"] = std::string(adapter_name);

  try {
    std::string out = "{\n";
    bool first = true;
    for (auto it = config.begin(); it != config.end(); ++it) {
      if (!first) out += ",\n";
      first = false;
      append_member(out, it.key(), it == stored ? inbounds : it.value());
    }
    out += "\n}";
    return out;
  } catch (const Json::exception& e) {
    return fail(Error(e.what()).context("helper: failed to re-serialize config"));
  }
}

}  // namespace vorn
