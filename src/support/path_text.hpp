// Windows path texts taken apart without touching the file system.
#pragma once

#include <string>
#include <string_view>

namespace vorn {

// The offset of the file name: after the last "\" or "/".
inline std::size_t file_name_start(std::string_view path) {
  const auto cut = path.find_last_of("\\/");
  return cut == std::string_view::npos ? 0 : cut + 1;
}

// `path` with its file name replaced.
inline std::string with_file_name(std::string_view path, std::string_view name) {
  std::string out(path.substr(0, file_name_start(path)));
  out += name;
  return out;
}

// `path` with the extension of its file name (what follows the last ".")
// replaced by `extension`, or with "." and `extension` added when it has none.
inline std::string with_extension(std::string_view path, std::string_view extension) {
  const std::size_t name = file_name_start(path);
  const auto dot = path.find_last_of('.');
  std::string out(dot == std::string_view::npos || dot < name ? path : path.substr(0, dot));
  out += '.';
  out += extension;
  return out;
}

// Whether Windows would take the path to the network redirector, that is to
// another machine (or to this one as a file server), rather than to a local
// volume or device: "\\server\share\...", the same under the "\\?\",
// "\\.\" and "\??\" prefixes as "UNC\server\share\...", and the object
// manager's ways to the redirector under GLOBALROOT ("\Device\Mup\...",
// "\GLOBAL??\UNC\..."). "\" and "/" both separate; names compare without
// regard to ASCII case. A path that names another device is no network path
// by this rule: the file layer refuses such paths on its own.
bool names_network_path(std::string_view path);

}  // namespace vorn
