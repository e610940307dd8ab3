// ProcessPrng is the system's preferred source but is missing on older systems
// and under Wine, so it is looked up at run time with BCryptGenRandom behind it.
#include "platform/system_random.hpp"
#include "platform/win32/windows_support.hpp"

namespace vorn::platform {
namespace {

using ProcessPrngFn = BOOL(WINAPI*)(PBYTE, SIZE_T);

class WindowsRandom final : public Random {
 public:
  WindowsRandom() {
    if (HMODULE module = ::LoadLibraryW(L"bcryptprimitives.dll")) {
      prng_ = reinterpret_cast<ProcessPrngFn>(reinterpret_cast<void*>(::GetProcAddress(module, "ProcessPrng")));
    }
  }

  Status fill(std::span<std::uint8_t> out) override {
    if (prng_ != nullptr && prng_(out.data(), out.size())) return {};
    const NTSTATUS status = ::BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(out.size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status != 0) return fail(fmt_status(status));
    return {};
  }

 private:
  static Error fmt_status(NTSTATUS status) {
    return Error("BCryptGenRandom failed with status " + std::to_string(static_cast<unsigned long>(status)));
  }
  ProcessPrngFn prng_ = nullptr;
};

}  // namespace

Random& system_random() {
  static WindowsRandom source;
  return source;
}

}  // namespace vorn::platform
