#include "routing/json_equal.hpp"

#include <algorithm>
#include <cstdint>

namespace vorn {
namespace {

enum class NumberKind { NonNegative, Negative, Float };

// The library keeps a parsed non-negative integer unsigned, but one built from
// a signed C++ value signed; both are the same kind of number.
NumberKind number_kind(const Json& n) {
  if (n.is_number_float()) return NumberKind::Float;
  if (n.is_number_unsigned()) return NumberKind::NonNegative;
  return n.get<std::int64_t>() < 0 ? NumberKind::Negative : NumberKind::NonNegative;
}

bool numbers_equal(const Json& a, const Json& b) {
  const NumberKind kind = number_kind(a);
  if (kind != number_kind(b)) return false;
  switch (kind) {
    case NumberKind::Float:
      return a.get<double>() == b.get<double>();
    case NumberKind::Negative:
      return a.get<std::int64_t>() == b.get<std::int64_t>();
    case NumberKind::NonNegative:
      return a.get<std::uint64_t>() == b.get<std::uint64_t>();
  }
  return false;
}

}  // namespace

bool json_equal(const Json& a, const Json& b) {
  if (a.is_number() && b.is_number()) return numbers_equal(a, b);
  if (a.type() != b.type()) return false;
  if (a.is_array()) {
    return std::ranges::equal(a, b, [](const Json& x, const Json& y) { return json_equal(x, y); });
  }
  if (a.is_object()) {
    // Keys are held sorted, so equal objects list the same keys in step.
    if (a.size() != b.size()) return false;
    for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y) {
      if (x.key() != y.key() || !json_equal(x.value(), y.value())) return false;
    }
    return true;
  }
  return a == b;
}

}  // namespace vorn
