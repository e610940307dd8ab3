#include "tun_adapter/adapter_names.hpp"

#include "support/text.hpp"
#include "support/uuid.hpp"

namespace vorn {
namespace {

bool ascii_equal_folded(std::string_view a, std::string_view b) {
  return a.size() == b.size() && text::to_lower_ascii(a) == text::to_lower_ascii(b);
}

bool is_ascii_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

}  // namespace

Result<std::string> new_adapter_name(platform::Random& random) {
  auto uuid = new_uuid_v4(random);
  if (!uuid) return fail(uuid.error().context("cannot make an adapter name"));
  return std::string(DEFAULT_ADAPTER_NAME) + "-" + uuid->simple().substr(0, 6);
}

bool is_own_adapter_name(std::string_view name) {
  const std::string_view trimmed = text::trim(name);
  if (trimmed.size() == 4) return ascii_equal_folded(trimmed, "vorn");
  if (trimmed.size() != 11 || !ascii_equal_folded(trimmed.substr(0, 5), "vorn-")) return false;
  for (const char c : trimmed.substr(5))
    if (!is_ascii_hex(c)) return false;
  return true;
}

}  // namespace vorn
