// Text rules shared by every component: UTF-8 and UTF-16 conversion, Unicode
// white-space trimming and the full Unicode lower-case mapping. They give the
// same result on both targets because they rest on compiled-in tables.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vorn::text {

bool is_white_space(char32_t c);

// The full lower-case mapping of one code point, appended to `out` as UTF-8.
void append_lower(char32_t c, std::string& out);

bool is_valid_utf8(std::string_view s);

// Trims Unicode white space at both ends. Invalid UTF-8 is never trimmed past:
// trimming stops at the first byte that does not start a white-space character.
std::string_view trim(std::string_view s);

// Lower-cases by the full Unicode mapping; invalid bytes pass through as they
// are.
std::string to_lower(std::string_view s);
// The same into `out`, replacing its content and keeping its capacity.
void to_lower_into(std::string_view s, std::string& out);

// ASCII letters only; other bytes unchanged.
std::string to_lower_ascii(std::string_view s);

// UTF-8 to UTF-16; invalid UTF-8 sequences become U+FFFD.
std::u16string to_utf16(std::string_view s);

// UTF-16 to UTF-8; nullopt at an unpaired surrogate.
std::optional<std::string> from_utf16_strict(std::u16string_view s);

// UTF-16 to UTF-8 with every unpaired surrogate replaced by U+FFFD.
std::string from_utf16_lossy(std::u16string_view s);

void append_utf8(char32_t c, std::string& out);

// Decodes the code point at `pos`, advancing it; nullopt (and one byte
// consumed) at an invalid sequence.
std::optional<char32_t> decode_utf8(std::string_view s, std::size_t& pos);

}  // namespace vorn::text
