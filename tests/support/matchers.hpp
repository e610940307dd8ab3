// Matchers for results: EXPECT_THAT(r, Succeeds()), EXPECT_THAT(r, FailsWith("text")).
#pragma once

#include <gmock/gmock.h>

#include <string>

#include "support/error.hpp"

namespace vorn::testing {

MATCHER(Succeeds, "succeeds") {
  if (arg.has_value()) return true;
  *result_listener << "failed with \"" << arg.error().full() << "\"";
  return false;
}

// The error's full form contains `text`.
MATCHER_P(FailsWith, text, std::string("fails with \"") + text + "\"") {
  if (arg.has_value()) {
    *result_listener << "succeeded";
    return false;
  }
  const std::string full = arg.error().full();
  *result_listener << "failed with \"" << full << "\"";
  return full.find(text) != std::string::npos;
}

// The error's full form is exactly `text`.
MATCHER_P(FailsExactly, text, std::string("fails with exactly \"") + text + "\"") {
  if (arg.has_value()) {
    *result_listener << "succeeded";
    return false;
  }
  *result_listener << "failed with \"" << arg.error().full() << "\"";
  return arg.error().full() == text;
}

}  // namespace vorn::testing
