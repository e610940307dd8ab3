// Readable test failure messages for ownership-record outcomes.
#pragma once

#include <ostream>

#include "proc_guard/proc_guard.hpp"

namespace vorn::record_outcome {

// Found by argument-dependent lookup through the variant's alternatives.
inline void PrintTo(const RecordOutcome& outcome, std::ostream* out) { *out << describe_outcome(outcome); }

}  // namespace vorn::record_outcome
