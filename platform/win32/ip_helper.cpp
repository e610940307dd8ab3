#include "platform/ip_helper.hpp"
#include "platform/win32/system.hpp"

namespace vorn::platform {
namespace {

// The table readers come with the route identity and the bypass snapshot.
class WindowsIpHelper final : public IpHelper {
 public:
  Result<std::uint64_t> alias_to_luid(const std::string&) override { return fail("not built yet"); }
  Result<std::string> luid_to_alias(std::uint64_t) override { return fail("not built yet"); }
  Result<std::vector<ForwardRow>> forward_table() override { return fail("not built yet"); }
  Result<std::vector<UnicastRow>> unicast_table() override { return fail("not built yet"); }
  Result<InterfaceRow> interface_entry(std::uint32_t) override { return fail("not built yet"); }
  Result<std::uint32_t> interface_metric(std::uint64_t, bool) override { return fail("not built yet"); }
};

}  // namespace

IpHelper& win32_ip_helper() {
  static WindowsIpHelper helper;
  return helper;
}

}  // namespace vorn::platform
