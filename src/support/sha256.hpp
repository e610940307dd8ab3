// SHA-256 digests: OpenSSL's libcrypto natively, Windows CNG in the Windows
// build (platform/native/sha256_openssl.cpp, platform/win32/sha256_bcrypt.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "support/error.hpp"

namespace vorn {

Result<std::array<std::uint8_t, 32>> sha256(std::string_view bytes);

// A digest fed in pieces, for content that is never held whole.
class Sha256Stream {
 public:
  static Result<Sha256Stream> create();
  Sha256Stream(Sha256Stream&& other) noexcept;
  Sha256Stream& operator=(Sha256Stream&& other) noexcept;
  ~Sha256Stream();

  Status update(std::string_view bytes);
  // Ends the stream; no update may follow.
  Result<std::array<std::uint8_t, 32>> finish();

 private:
  struct State;
  explicit Sha256Stream(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// 64 lower-case hex digits.
Result<std::string> sha256_hex(std::string_view bytes);

}  // namespace vorn
