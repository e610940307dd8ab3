// The JSON library. Its default object type is a std::map, so object keys are
// held and written in ascending byte order at every depth.
#pragma once

#include <nlohmann/json.hpp>

namespace vorn {

using Json = nlohmann::json;

}  // namespace vorn
