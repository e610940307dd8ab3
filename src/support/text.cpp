#include "support/text.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "support/unicode_tables.hpp"

namespace vorn::text {

bool is_white_space(char32_t c) {
  const auto* begin = unicode::kWhiteSpace;
  const auto* end = begin + unicode::kWhiteSpaceCount;
  const auto* it = std::upper_bound(begin, end, c, [](char32_t v, const unicode::CodeRange& r) { return v < r.first; });
  return it != begin && c <= (it - 1)->last;
}

void append_utf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::optional<char32_t> decode_utf8(std::string_view s, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b0 = byte(pos);
  std::size_t len;
  char32_t c;
  char32_t min;
  if (b0 < 0x80) {
    ++pos;
    return b0;
  } else if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2, c = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3, c = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4, c = b0 & 0x07, min = 0x10000;
  } else {
    ++pos;
    return std::nullopt;
  }
  if (pos + len > s.size()) {
    ++pos;
    return std::nullopt;
  }
  for (std::size_t i = 1; i < len; ++i) {
    const unsigned char b = byte(pos + i);
    if ((b & 0xC0) != 0x80) {
      ++pos;
      return std::nullopt;
    }
    c = (c << 6) | (b & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++pos;
    return std::nullopt;
  }
  pos += len;
  return c;
}

namespace {

// Length of the leading ASCII run, eight bytes at a time: the core's output
// and the helper's own texts are almost all ASCII.
std::size_t ascii_prefix(std::string_view s) {
  std::size_t pos = 0;
  for (; pos + 8 <= s.size(); pos += 8) {
    std::uint64_t word;
    std::memcpy(&word, s.data() + pos, 8);
    if ((word & 0x8080808080808080ull) != 0) break;
  }
  while (pos < s.size() && static_cast<unsigned char>(s[pos]) < 0x80) ++pos;
  return pos;
}

}  // namespace

bool is_valid_utf8(std::string_view s) {
  for (std::size_t pos = ascii_prefix(s); pos < s.size();) {
    if (!decode_utf8(s, pos)) return false;
  }
  return true;
}

void append_lower(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return;
  }
  const auto* begin = unicode::kLower;
  const auto* end = begin + unicode::kLowerCount;
  const auto* it = std::lower_bound(begin, end, c, [](const unicode::LowerEntry& e, char32_t v) { return e.code < v; });
  if (it == end || it->code != c) {
    append_utf8(c, out);
    return;
  }
  for (char32_t m : it->lower) {
    if (m == 0) break;
    append_utf8(m, out);
  }
}

std::string_view trim(std::string_view s) {
  std::size_t start = 0;
  while (start < s.size()) {
    std::size_t next = start;
    const auto c = decode_utf8(s, next);
    if (!c || !is_white_space(*c)) break;
    start = next;
  }
  std::size_t stop = s.size();
  while (stop > start) {
    // Step back to the start of the last character.
    std::size_t begin = stop - 1;
    while (begin > start && (static_cast<unsigned char>(s[begin]) & 0xC0) == 0x80 && stop - begin < 4) --begin;
    std::size_t next = begin;
    const auto c = decode_utf8(s, next);
    if (!c || next != stop || !is_white_space(*c)) break;
    stop = begin;
  }
  return s.substr(start, stop - start);
}

void to_lower_into(std::string_view s, std::string& out) {
  // ASCII maps to ASCII, A to Z only; the core's output is mostly ASCII and is
  // lowered line by line, so a run of ASCII is lowered in bulk and the table
  // is consulted only past it.
  std::size_t pos = ascii_prefix(s);
  out.assign(s.substr(0, pos));
  for (char& ch : out) {
    // Branch-free, so that the compiler can lower many bytes at once.
    ch = static_cast<char>(ch + (static_cast<unsigned char>(ch - 'A') < 26 ? 32 : 0));
  }
  while (pos < s.size()) {
    const std::size_t at = pos;
    const auto byte = static_cast<unsigned char>(s[at]);
    if (byte < 0x80) {
      out += (byte >= 'A' && byte <= 'Z') ? static_cast<char>(byte + 32) : static_cast<char>(byte);
      ++pos;
    } else if (const auto c = decode_utf8(s, pos)) {
      append_lower(*c, out);
    } else {
      out += s[at];
    }
  }
}

std::string to_lower(std::string_view s) {
  std::string out;
  to_lower_into(s, out);
  return out;
}

std::string to_lower_ascii(std::string_view s) {
  std::string out(s);
  for (char& ch : out) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
  }
  return out;
}

std::u16string to_utf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (std::size_t pos = 0; pos < s.size();) {
    const char32_t c = decode_utf8(s, pos).value_or(U'\uFFFD');
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

namespace {

// Decodes UTF-16, calling `bad` for each unpaired surrogate; stops when `bad`
// returns false.
template <class OnBad>
bool decode_utf16(std::u16string_view s, std::string& out, OnBad bad) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char16_t u = s[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      append_utf8(0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (s[i + 1] - 0xDC00), out);
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      if (!bad(out)) return false;
    } else {
      append_utf8(u, out);
    }
  }
  return true;
}

}  // namespace

std::optional<std::string> from_utf16_strict(std::u16string_view s) {
  std::string out;
  if (!decode_utf16(s, out, [](std::string&) { return false; })) return std::nullopt;
  return out;
}

std::string from_utf16_lossy(std::u16string_view s) {
  std::string out;
  decode_utf16(s, out, [](std::string& o) {
    append_utf8(0xFFFD, o);
    return true;
  });
  return out;
}

}  // namespace vorn::text
