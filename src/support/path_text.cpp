#include "support/path_text.hpp"

#include <array>

namespace vorn {
namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }

char folded(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether `path` begins with the component `name` (in lower case), followed
// by a separator or the end; the rest after the separators is left in `path`.
bool take_component(std::string_view& path, std::string_view name) {
  if (path.size() < name.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (folded(path[i]) != name[i]) return false;
  }
  if (path.size() > name.size() && !is_separator(path[name.size()])) return false;
  path.remove_prefix(name.size());
  while (!path.empty() && is_separator(path.front())) path.remove_prefix(1);
  return true;
}

bool from_object_root(std::string_view rest);

// `rest` is read in the directory of DOS device names ("\??\", "\GLOBAL??\").
bool from_dos_devices(std::string_view rest) {
  if (take_component(rest, "unc")) return true;
  if (take_component(rest, "globalroot")) return from_object_root(rest);
  // "Global" is a link back to the global directory of DOS device names.
  if (take_component(rest, "global")) return from_dos_devices(rest);
  return false;
}

// `rest` is read from the root of the object manager's namespace.
bool from_object_root(std::string_view rest) {
  while (!rest.empty() && is_separator(rest.front())) rest.remove_prefix(1);
  if (take_component(rest, "??") || take_component(rest, "global??") || take_component(rest, "dosdevices")) {
    return from_dos_devices(rest);
  }
  if (!take_component(rest, "device")) return false;
  // The multiple UNC provider and the redirectors it hands paths to.
  constexpr std::array<std::string_view, 4> redirectors = {"mup", "lanmanredirector", "webdavredirector", "rdpdr"};
  for (const auto name : redirectors) {
    if (take_component(rest, name)) return true;
  }
  return false;
}

}  // namespace

bool names_network_path(std::string_view path) {
  if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    // "\\.\" and "\\?\" lead into the DOS device names; any other
    // "\\name" is a server.
    const bool device_prefix = path.size() >= 3 && (path[2] == '.' || path[2] == '?') &&
                               (path.size() == 3 || is_separator(path[3]));
    if (!device_prefix) return true;
    return from_dos_devices(path.substr(path.size() == 3 ? 3 : 4));
  }
  // "\??\" is handed to the object manager as it is.
  if (path.size() >= 4 && is_separator(path[0]) && path[1] == '?' && path[2] == '?' && is_separator(path[3])) {
    return from_dos_devices(path.substr(4));
  }
  return false;
}

}  // namespace vorn
