// The error of the setup modes and how it becomes an exit code.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/error.hpp"

namespace vorn {

// The codes that "install --soft" turns into success: the installer goes on
// without a working service. A missing elevation (20), a cleanup that could
// not be proven (22) and a failed status query (1) are never tolerated.
inline constexpr std::array<std::int32_t, 6> TOLERATED_SETUP_CODES{21, 23, 24, 25, 26, 27};

std::unexpected<Error> setup_failure(std::int32_t code, std::string_view detail);

// The structure form for diagnostics: SetupFailure { code: 25, detail: "..." }.
// The display form is the error's message, "setup stage {}: {}".
std::string debug_form(const SetupFailure& failure);

// Code 23: the helper's executable vanished (antivirus is the usual cause).
std::unexpected<Error> image_missing_failure(std::string_view path, std::string_view phase);

// "win32={}" with the operating-system code anywhere in the error's chain (0
// when there is none); an error raised before any call keeps its own text.
std::string service_error_text(const Error& error);

std::unexpected<Error> setup_failure_create(Error error);
std::unexpected<Error> setup_failure_reconfigure(Error error);
std::unexpected<Error> setup_failure_status_query(Error error);

// The SetupFailure code of the error, else 1.
std::int32_t setup_exit_code(const Error& error);

bool is_tolerated_setup_failure(const Error& error);

}  // namespace vorn
