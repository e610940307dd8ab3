// The adapter name and address range that carry a retry's choice to the next
// helper run: two small files in the core folder, written in place.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.hpp"

namespace vorn {

inline constexpr const char* ADAPTER_NAME_FILE = "tun-name";
inline constexpr const char* ADDRESS_RANGE_FILE = "tun-range";

std::string adapter_name_path(platform::Environment& env);
std::string address_range_path(platform::Environment& env);

// The range index a stored text names: "0" or "1" (an optional "+", white
// space around); anything else, including a value that is not UTF-8, is 0.
std::uint64_t parse_address_range(std::string_view text);

// 0 as well when the file cannot be read.
std::uint64_t read_address_range_file(platform::FileSystem& files, const std::string& path);

// The trimmed text of the name file; nullopt when it cannot be read or is not
// UTF-8. Whether the name is the system's own is the caller's question.
std::optional<std::string> read_adapter_name_file(platform::FileSystem& files, const std::string& path);

}  // namespace vorn
