#include "platform/win32/path_root.hpp"

namespace vorn::win32 {
namespace {

// The end of the component that starts at `pos`, with one separator after it.
std::size_t skip_component(std::wstring_view path, std::size_t pos) {
  while (pos < path.size() && !is_separator(path[pos])) ++pos;
  return pos < path.size() ? pos + 1 : pos;
}

bool is_drive(std::wstring_view path, std::size_t pos) {
  if (path.size() < pos + 2 || path[pos + 1] != L':') return false;
  const wchar_t c = path[pos];
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

std::size_t drive_root(std::wstring_view path, std::size_t pos) {
  return path.size() > pos + 2 && is_separator(path[pos + 2]) ? pos + 3 : pos + 2;
}

bool is_unc_marker(std::wstring_view path, std::size_t pos) {
  if (path.size() < pos + 4 || !is_separator(path[pos + 3])) return false;
  for (std::size_t i = 0; i < 3; ++i) {
    if ((path[pos + i] | 0x20) != L"unc"[i]) return false;
  }
  return true;
}

}  // namespace

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

std::size_t path_root_length(std::wstring_view path) {
  if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    // "\\?\" (verbatim) and "\\.\" (device) prefixes.
    if (path.size() >= 4 && (path[2] == L'?' || path[2] == L'.') && is_separator(path[3])) {
      if (is_drive(path, 4)) return drive_root(path, 4);
      if (is_unc_marker(path, 4)) return skip_component(path, skip_component(path, 8));
      return skip_component(path, 4);
    }
    return skip_component(path, skip_component(path, 2));
  }
  if (is_drive(path, 0)) return drive_root(path, 0);
  if (!path.empty() && is_separator(path[0])) return 1;
  return 0;
}

}  // namespace vorn::win32
