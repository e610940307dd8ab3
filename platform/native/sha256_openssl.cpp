#include <openssl/evp.h>

#include "support/sha256.hpp"

namespace vorn {

Result<std::array<std::uint8_t, 32>> sha256(std::string_view bytes) {
  std::array<std::uint8_t, 32> digest{};
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 || length != digest.size()) {
    return fail("sha-256 digest failed");
  }
  return digest;
}

}  // namespace vorn
