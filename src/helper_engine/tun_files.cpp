#include "helper_engine/tun_files.hpp"

#include <limits>

#include "helper_engine/store.hpp"
#include "support/text.hpp"

namespace vorn {

std::string adapter_name_path(platform::Environment& env) {
  return join_path(join_path(helper_data_dir(env), "core"), ADAPTER_NAME_FILE);
}

std::string address_range_path(platform::Environment& env) {
  return join_path(join_path(helper_data_dir(env), "core"), ADDRESS_RANGE_FILE);
}

std::uint64_t parse_address_range(std::string_view raw) {
  if (!text::is_valid_utf8(raw)) return 0;
  std::string_view digits = text::trim(raw);
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return 0;
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return 0;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return 0;
    value = value * 10 + digit;
  }
  return value <= 1 ? value : 0;
}

std::uint64_t read_address_range_file(platform::FileSystem& files, const std::string& path) {
  auto bytes = files.read_file(path);
  if (!bytes) return 0;
  return parse_address_range(*bytes);
}

std::optional<std::string> read_adapter_name_file(platform::FileSystem& files, const std::string& path) {
  auto bytes = files.read_file(path);
  if (!bytes || !text::is_valid_utf8(*bytes)) return std::nullopt;
  return std::string(text::trim(*bytes));
}

}  // namespace vorn
