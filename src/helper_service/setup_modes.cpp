#include "helper_service/setup_modes.hpp"

namespace vorn {

// Registration, repair, removal and upgrade preparation come with the stop
// confirmation and owned cleanup they depend on; until then each mode says so
// rather than pretending to succeed.

Status install_service(platform::Platform&, bool repair) {
  return fail(repair ? "helper: repair is not built yet" : "helper: install is not built yet");
}

Status uninstall_service(platform::Platform&) { return fail("helper: uninstall is not built yet"); }

Status prepare_upgrade(platform::Platform&) { return fail("helper: prepare-upgrade is not built yet"); }

}  // namespace vorn
