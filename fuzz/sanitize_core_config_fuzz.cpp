// Any client text either fails to sanitize or gives a configuration that
// renders; the rendered file is exactly the JSON library's pretty form of what
// it holds, and it sanitizes back to the very value that was stored (the
// renderer adds only what the sanitizer replaces).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "helper_engine/sanitize_core_config.hpp"
#include "routing/json_equal.hpp"
#include "support/json.hpp"
#include "tun/launch_config.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const bool kill_switch = size % 2 == 1;
  const auto sanitized = vorn::sanitize_core_config(text, kill_switch);
  if (!sanitized) return 0;
  const auto bytes = vorn::render_launch_config(*sanitized, "Vorn-1a2b3c", size % 3);
  if (!bytes || vorn::Json::parse(*bytes).dump(2) != *bytes) std::abort();
  const auto again = vorn::sanitize_core_config(*bytes, kill_switch);
  if (!again || !vorn::json_equal(*sanitized, *again)) std::abort();
  return 0;
}
