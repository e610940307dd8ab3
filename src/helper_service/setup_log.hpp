// The setup log: one line per setup outcome in the installer's temporary
// folder. It never makes a setup mode fail.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "platform/platform.hpp"

namespace vorn {

inline constexpr const char* SETUP_LOG_FILE = "vorn-setup.log";
inline constexpr std::uint64_t SETUP_LOG_MAX_BYTES = 262144;

// "%Y-%m-%d %H:%M:%S", a blank, the message and a line feed.
std::string format_setup_log_line(const std::tm& local_time, std::string_view message);

void append_setup_log(platform::Platform& platform, std::string_view message);

}  // namespace vorn
