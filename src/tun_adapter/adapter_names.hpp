// The names under which the core creates its TUN adapter. Only adapters
// whose name is one of ours are ever removed, so the test is strict: the bare
// name, or the name with a hyphen and six hexadecimal digits.
#pragma once

#include <string>
#include <string_view>

#include "platform/random.hpp"
#include "support/error.hpp"

namespace vorn {

inline constexpr std::string_view DEFAULT_ADAPTER_NAME = "Vorn";

// "Vorn-" and six lower-case hexadecimal digits from a fresh random UUID.
Result<std::string> new_adapter_name(platform::Random& random);

// Unicode white space around the name is ignored; letters are folded in ASCII
// only, so no look-alike from another script passes.
bool is_own_adapter_name(std::string_view name);

}  // namespace vorn
