#include "support/sha256.hpp"

#include "support/hex.hpp"

namespace vorn {

Result<std::string> sha256_hex(std::string_view bytes) {
  auto digest = sha256(bytes);
  if (!digest) return fail(digest.error());
  return to_hex(*digest);
}

}  // namespace vorn
