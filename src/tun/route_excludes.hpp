// The client's excluded routes, reduced to canonical prefixes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vorn {

inline constexpr std::size_t MAX_ROUTE_EXCLUDES = 256;

// Each item becomes "{network address}/{length}" with its host bits cleared;
// items that are not a literal address with an optional usable prefix length
// are skipped without a message. Keeps the order of first appearance, drops
// repeats and everything after the first MAX_ROUTE_EXCLUDES entries.
std::vector<std::string> normalize_route_excludes(const std::vector<std::string>& items);

}  // namespace vorn
