// SHA-256 digests: OpenSSL's libcrypto natively, Windows CNG in the Windows
// build (platform/native/sha256_openssl.cpp, platform/win32/sha256_bcrypt.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/error.hpp"

namespace vorn {

Result<std::array<std::uint8_t, 32>> sha256(std::string_view bytes);

// 64 lower-case hex digits.
Result<std::string> sha256_hex(std::string_view bytes);

}  // namespace vorn
