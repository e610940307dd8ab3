#include "platform/win32/windows_support.hpp"
#include "support/sha256.hpp"

namespace vorn {
namespace {

Error cng_error(const char* call, NTSTATUS status) {
  return Error(std::string(call) + " failed with status " + std::to_string(static_cast<unsigned long>(status)));
}

}  // namespace

struct Sha256Stream::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~State() {
    if (hash != nullptr) ::BCryptDestroyHash(hash);
    if (algorithm != nullptr) ::BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};

Sha256Stream::Sha256Stream(std::unique_ptr<State> state) : state_(std::move(state)) {}
Sha256Stream::Sha256Stream(Sha256Stream&& other) noexcept = default;
Sha256Stream& Sha256Stream::operator=(Sha256Stream&& other) noexcept = default;
Sha256Stream::~Sha256Stream() = default;

Result<Sha256Stream> Sha256Stream::create() {
  auto state = std::make_unique<State>();
  NTSTATUS status = ::BCryptOpenAlgorithmProvider(&state->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  if (status != 0) return fail(cng_error("BCryptOpenAlgorithmProvider", status));
  status = ::BCryptCreateHash(state->algorithm, &state->hash, nullptr, 0, nullptr, 0, 0);
  if (status != 0) return fail(cng_error("BCryptCreateHash", status));
  return Sha256Stream(std::move(state));
}

Status Sha256Stream::update(std::string_view bytes) {
  // BCryptHashData takes a ULONG length, so large pieces go in slices.
  while (!bytes.empty()) {
    const ULONG slice = static_cast<ULONG>(std::min<std::size_t>(bytes.size(), 1u << 30));
    const NTSTATUS status =
        ::BCryptHashData(state_->hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())), slice, 0);
    if (status != 0) return fail(cng_error("BCryptHashData", status));
    bytes.remove_prefix(slice);
  }
  return {};
}

Result<std::array<std::uint8_t, 32>> Sha256Stream::finish() {
  std::array<std::uint8_t, 32> digest{};
  const NTSTATUS status = ::BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
  if (status != 0) return fail(cng_error("BCryptFinishHash", status));
  return digest;
}

Result<std::array<std::uint8_t, 32>> sha256(std::string_view bytes) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  NTSTATUS status = ::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  if (status != 0) return fail(cng_error("BCryptOpenAlgorithmProvider", status));
  BCRYPT_HASH_HANDLE hash = nullptr;
  std::array<std::uint8_t, 32> digest{};
  status = ::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
  const char* failed = "BCryptCreateHash";
  if (status == 0) {
    // BCryptHashData takes a ULONG length, so large buffers go in slices.
    std::size_t done = 0;
    while (status == 0 && done < bytes.size()) {
      const ULONG slice = static_cast<ULONG>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
      status = ::BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data() + done)), slice, 0);
      done += slice;
      failed = "BCryptHashData";
    }
    if (status == 0) {
      status = ::BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
      failed = "BCryptFinishHash";
    }
    ::BCryptDestroyHash(hash);
  }
  ::BCryptCloseAlgorithmProvider(algorithm, 0);
  if (status != 0) return fail(cng_error(failed, status));
  return digest;
}

}  // namespace vorn
