// The JSON library. Its default object type is a std::map, so object keys are
// held and written in ascending byte order at every depth.
#pragma once

#include <cstddef>

#include <nlohmann/json.hpp>

namespace vorn {

using Json = nlohmann::json;

// At most this many arrays and objects may be open at once in JSON text that
// the helper reads from others (a request line, an ownership record): the
// readers refuse deeper text rather than follow it.
inline constexpr std::size_t JSON_MAX_OPEN_LEVELS = 127;

}  // namespace vorn
