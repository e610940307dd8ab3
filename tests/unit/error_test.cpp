#include <gtest/gtest.h>

#include "support/error.hpp"

namespace vorn {
namespace {

TEST(Error, FullFormJoinsCausesOuterFirst) {
  const Error e = Error("disk").context("write failed").context("provision");
  EXPECT_EQ(e.message(), "provision");
  EXPECT_EQ(e.full(), "provision: write failed: disk");
}

TEST(Error, OsErrorKeepsCodeAndForm) {
  const Error e = Error::os(1063, "The service process could not connect to the service controller.");
  EXPECT_EQ(e.full(), "The service process could not connect to the service controller. (os error 1063)");
  EXPECT_EQ(e.os_code(), 1063u);
  EXPECT_EQ(Error::os(5, "Access is denied.").context("IO error in winapi call").full(),
            "IO error in winapi call: Access is denied. (os error 5)");
}

TEST(Error, SetupFailureIsFoundAnywhereInTheChain) {
  const Error e = Error(SetupFailure{23, "service did not start"}).context("install");
  ASSERT_NE(e.find_setup_failure(), nullptr);
  EXPECT_EQ(e.find_setup_failure()->code, 23);
  EXPECT_EQ(e.full(), "install: setup stage 23: service did not start");
  EXPECT_EQ(Error("plain").find_setup_failure(), nullptr);
}

}  // namespace
}  // namespace vorn
