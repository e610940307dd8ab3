#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "platform/system_random.hpp"

namespace vorn::platform {
namespace {

class GetrandomSource final : public Random {
 public:
  Status fill(std::span<std::uint8_t> out) override {
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t got = getrandom(out.data() + done, out.size() - done, 0);
      if (got < 0) {
        if (errno == EINTR) continue;
        const int code = errno;
        return fail(Error::os(static_cast<std::uint32_t>(code), std::strerror(code)));
      }
      done += static_cast<std::size_t>(got);
    }
    return {};
  }
};

}  // namespace

Random& system_random() {
  static GetrandomSource source;
  return source;
}

}  // namespace vorn::platform
