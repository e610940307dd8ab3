#include "helper_service/setup_failure.hpp"

#include <fmt/format.h>

#include <algorithm>

namespace vorn {

std::unexpected<Error> setup_failure(std::int32_t code, std::string_view detail) {
  return fail(Error(SetupFailure{code, std::string(detail)}));
}

std::string debug_form(const SetupFailure& failure) {
  std::string detail;
  for (char c : failure.detail) {
    switch (c) {
      case '"':
        detail += "\\\"";
        break;
      case '\\':
        detail += "\\\\";
        break;
      case '\n':
        detail += "\\n";
        break;
      case '\r':
        detail += "\\r";
        break;
      case '\t':
        detail += "\\t";
        break;
      default:
        detail += c;
    }
  }
  return fmt::format("SetupFailure {{ code: {}, detail: \"{}\" }}", failure.code, detail);
}

std::unexpected<Error> image_missing_failure(std::string_view path, std::string_view phase) {
  return setup_failure(23, fmt::format("{} no longer exists ({}); likely removed by antivirus", path, phase));
}

std::string service_error_text(const Error& error) {
  // A failed call carries its code on the cause of "IO error in winapi call";
  // an error with no cause at all never reached the system.
  for (const Error* e = &error; e != nullptr; e = e->cause()) {
    if (e->os_code()) return fmt::format("win32={}", *e->os_code());
  }
  if (error.cause() != nullptr) return "win32=0";
  return error.message();
}

std::unexpected<Error> setup_failure_create(Error error) {
  return setup_failure(24, "create: " + service_error_text(error));
}

std::unexpected<Error> setup_failure_reconfigure(Error error) {
  return setup_failure(24, "reconfigure: " + service_error_text(error));
}

std::unexpected<Error> setup_failure_status_query(Error error) {
  return setup_failure(1, "status query: " + service_error_text(error));
}

std::int32_t setup_exit_code(const Error& error) {
  const SetupFailure* failure = error.find_setup_failure();
  return failure != nullptr ? failure->code : 1;
}

bool is_tolerated_setup_failure(const Error& error) {
  const SetupFailure* failure = error.find_setup_failure();
  if (failure == nullptr) return false;
  const auto code = static_cast<std::uint32_t>(failure->code);
  return code <= 27 && std::ranges::find(TOLERATED_SETUP_CODES, failure->code) != TOLERATED_SETUP_CODES.end();
}

}  // namespace vorn
