#include <gtest/gtest.h>

#include "helper_service/setup_failure.hpp"

namespace vorn {
namespace {

Error winapi(std::uint32_t code) { return Error::os(code, "system text").context("IO error in winapi call"); }

TEST(SetupFailure, DisplayFormAndHelpers) {
  struct Case {
    std::unexpected<Error> error;
    std::int32_t code;
    const char* text;
  };
  const Case cases[] = {
      {setup_failure(25, "start: win32=1053"), 25, "setup stage 25: start: win32=1053"},
      {image_missing_failure("C:\\v\\vorn-helper.exe", "after start"), 23,
       "setup stage 23: C:\\v\\vorn-helper.exe no longer exists (after start); likely removed by antivirus"},
      {setup_failure_create(winapi(1073)), 24, "setup stage 24: create: win32=1073"},
      {setup_failure_reconfigure(winapi(5)), 24, "setup stage 24: reconfigure: win32=5"},
      {setup_failure_status_query(winapi(6)), 1, "setup stage 1: status query: win32=6"},
      // Refused before any call: the error keeps its own text.
      {setup_failure_create(Error("executable path contains a nul byte")), 24,
       "setup stage 24: create: executable path contains a nul byte"},
      // A failed call whose code was lost still reads as a call failure.
      {setup_failure_create(Error("inner").context("IO error in winapi call")), 24, "setup stage 24: create: win32=0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.error().full(), c.text);
    EXPECT_EQ(setup_exit_code(c.error.error()), c.code) << c.text;
  }
}

TEST(SetupFailure, DebugFormEscapesTheDetail) {
  EXPECT_EQ(debug_form({25, "start: win32=1053"}), "SetupFailure { code: 25, detail: \"start: win32=1053\" }");
  EXPECT_EQ(debug_form({23, "C:\\a \"b\"\n"}), "SetupFailure { code: 23, detail: \"C:\\\\a \\\"b\\\"\\n\" }");
}

TEST(SetupFailure, ExitCodeAndSoftTolerance) {
  struct Case {
    Error error;
    std::int32_t exit;
    bool tolerated;
  };
  const Case cases[] = {
      {Error(SetupFailure{1, "x"}), 1, false},    {Error(SetupFailure{20, "x"}), 20, false},
      {Error(SetupFailure{21, "x"}), 21, true},   {Error(SetupFailure{22, "x"}), 22, false},
      {Error(SetupFailure{23, "x"}), 23, true},   {Error(SetupFailure{24, "x"}), 24, true},
      {Error(SetupFailure{25, "x"}), 25, true},   {Error(SetupFailure{26, "x"}), 26, true},
      {Error(SetupFailure{27, "x"}), 27, true},   {Error(SetupFailure{28, "x"}), 28, false},
      {Error(SetupFailure{-21, "x"}), -21, false}, {Error("helper repair: configured service belongs to another installation"), 1, false},
      // Found again when wrapped.
      {Error(SetupFailure{25, "x"}).context("outer"), 25, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(setup_exit_code(c.error), c.exit) << c.error.full();
    EXPECT_EQ(is_tolerated_setup_failure(c.error), c.tolerated) << c.error.full();
  }
}

}  // namespace
}  // namespace vorn
