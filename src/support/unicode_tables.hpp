// Tables generated from the Unicode data files (tools/gen_unicode_tables.py).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::unicode {

struct CodeRange {
  char32_t first;
  char32_t last;
};

// A code point and its full lower-case mapping (up to three code points,
// unused slots zero). Sorted by code point.
struct LowerEntry {
  char32_t code;
  char32_t lower[3];
};

extern const CodeRange kWhiteSpace[];
extern const std::size_t kWhiteSpaceCount;
extern const LowerEntry kLower[];
extern const std::size_t kLowerCount;

}  // namespace vorn::unicode
