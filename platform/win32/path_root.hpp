// Where the root of a Windows path ends: the part that folder creation must
// never try to create (a drive, a UNC share, a device or verbatim prefix).
#pragma once

#include <cstddef>
#include <string_view>

namespace vorn::win32 {

bool is_separator(wchar_t c);

// The length of the path's root, its trailing separator included:
// "C:\" 3, "C:" 2, "\" 1, "\\server\share\" 15, "\\?\C:\" 7,
// "\\?\UNC\server\share\" 21, "\\?\Volume{...}\" up to that separator, a
// relative path 0. Both "\" and "/" separate.
std::size_t path_root_length(std::wstring_view path);

}  // namespace vorn::win32
