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

struct Sha256Stream::State {
  EVP_MD_CTX* context = nullptr;
  ~State() { EVP_MD_CTX_free(context); }
};

Sha256Stream::Sha256Stream(std::unique_ptr<State> state) : state_(std::move(state)) {}
Sha256Stream::Sha256Stream(Sha256Stream&& other) noexcept = default;
Sha256Stream& Sha256Stream::operator=(Sha256Stream&& other) noexcept = default;
Sha256Stream::~Sha256Stream() = default;

Result<Sha256Stream> Sha256Stream::create() {
  auto state = std::make_unique<State>();
  state->context = EVP_MD_CTX_new();
  if (state->context == nullptr || EVP_DigestInit_ex(state->context, EVP_sha256(), nullptr) != 1) {
    return fail("sha-256 digest failed");
  }
  return Sha256Stream(std::move(state));
}

Status Sha256Stream::update(std::string_view bytes) {
  if (EVP_DigestUpdate(state_->context, bytes.data(), bytes.size()) != 1) return fail("sha-256 digest failed");
  return {};
}

Result<std::array<std::uint8_t, 32>> Sha256Stream::finish() {
  std::array<std::uint8_t, 32> digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(state_->context, digest.data(), &length) != 1 || length != digest.size()) {
    return fail("sha-256 digest failed");
  }
  return digest;
}

}  // namespace vorn
