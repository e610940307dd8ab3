#include "helper_service/setup_failure.hpp"

namespace vorn {

std::int32_t setup_exit_code(const Error& error) {
  const SetupFailure* failure = error.find_setup_failure();
  return failure != nullptr ? failure->code : 1;
}

bool is_tolerated_setup_failure(const Error& error) {
  const SetupFailure* failure = error.find_setup_failure();
  return failure != nullptr && (failure->code == 21 || (failure->code >= 23 && failure->code <= 27));
}

}  // namespace vorn
