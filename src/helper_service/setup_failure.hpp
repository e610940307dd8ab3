// How setup errors become exit codes.
#pragma once

#include <cstdint>

#include "support/error.hpp"

namespace vorn {

// The SetupFailure code of the error, else 1.
std::int32_t setup_exit_code(const Error& error);

// A soft install treats these codes as success: the installer goes on without
// a working service.
bool is_tolerated_setup_failure(const Error& error);

}  // namespace vorn
