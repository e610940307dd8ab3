// The private core image: the pinned core is never run itself, only a copy of
// bytes that passed the pin. Also the guard that keeps a core of an earlier
// run from being replaced while it may still run, and its coded error text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.hpp"
#include "proc_guard/proc_guard.hpp"
#include "support/error.hpp"

namespace vorn {

inline constexpr const char* PRIVATE_CORE_IMAGE_FILE = "vorn-core-s.exe";
inline constexpr const char* E_CORE_ORPHAN = "E_CORE_ORPHAN";

// The module that raises a coded error and a number there. The client
// matches the whole text, so the number is a fixed name of the place, not a
// source line.
struct ErrorSite {
  std::string_view module;
  std::uint32_t number = 0;
};

inline constexpr ErrorSite REPLACEMENT_GUARD_SITE{"core_image", 95};

// vorn-core-s.exe beside the trusted core.
std::string private_core_image_path(std::string_view core_path);

// The image path, holding exactly `verified_bytes`: left alone when it already
// does, otherwise written through a temporary of this process and renamed over.
Result<std::string> install_private_core_image(platform::Platform& platform, std::string_view core_path,
                                               std::string_view verified_bytes);

// The private image when the record on disk names it, otherwise the trusted
// core path.
std::string expected_core_executable(platform::FileSystem& files, std::string_view record_path,
                                     std::string_view core_path);

RecordOutcome stop_recorded_core(platform::Platform& platform, std::string_view record_path,
                                 std::string_view core_path, WaitSpan wait);

// Fails with the coded error whenever a recorded core cannot be proved gone.
Status guard_replacement_launch(platform::Platform& platform, std::string_view record_path,
                                std::string_view core_path);

// "|" becomes U+2758, "{" and "}" are dropped, so that a field can never end
// the coded text or split into two.
std::vector<std::string> escape_code_fields(const std::vector<std::string>& fields);
std::string format_error_code(std::string_view code, const std::vector<std::string>& fields);
std::string error_code_with_field(std::string_view code, std::string_view field);
std::string error_code_at_site(ErrorSite site);

}  // namespace vorn
