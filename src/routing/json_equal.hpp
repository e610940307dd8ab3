// JSON equality by kind as well as value. The JSON library's own == treats the
// integer 1500 and the float 1500.0 as equal; here numbers are equal only when
// both are non-negative integers, both negative integers or both floats, with
// equal values. Objects compare by their key sets, arrays element by element.
#pragma once

#include "support/json.hpp"

namespace vorn {

bool json_equal(const Json& a, const Json& b);

}  // namespace vorn
