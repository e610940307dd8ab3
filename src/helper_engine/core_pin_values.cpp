// The two pins. The product build compiles this file as it is; the test build
// vorn-helper-testpins compiles it again with VORN_TEST_PINS and the digests of
// its stand-in files. No other target sees those values.
#include <string_view>

#include "helper_engine/core_pins.hpp"

namespace vorn {
namespace {

constexpr bool is_pin(std::string_view pin) {
  if (pin.size() != 64) return false;
  for (char c : pin) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

#if defined(VORN_TEST_PINS)
constexpr std::string_view CORE_PIN = VORN_TEST_CORE_SHA256;
constexpr std::string_view WINTUN_PIN = VORN_TEST_WINTUN_SHA256;
#else
constexpr std::string_view CORE_PIN = "ccb2fad603c89efcbc14358ab40b2c7000a5bb4e3bffa170d5c355cda90757ba";
constexpr std::string_view WINTUN_PIN = "e5da8447dc2c320edc0fc52fa01885c103de8c118481f683643cacc3220dafce";
#endif

static_assert(is_pin(CORE_PIN) && is_pin(WINTUN_PIN), "a pin is 64 lower-case hex digits");

}  // namespace

const std::string_view CORE_SHA256_PIN = CORE_PIN;
const std::string_view WINTUN_SHA256_PIN = WINTUN_PIN;

}  // namespace vorn
