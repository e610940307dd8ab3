#include "user_proxy/user_proxy_inbound.hpp"

#include <string>

namespace vorn {
namespace {

bool is_string(const Json& object, const char* key, std::string_view value) {
  const auto it = object.find(key);
  return it != object.end() && it->is_string() && it->get_ref<const std::string&>() == value;
}

// A missing key, a float such as 8080.0, a negative number or a string gives 0,
// which the port test refuses.
std::uint64_t port_of(const Json& inbound) {
  const auto it = inbound.find("listen_port");
  if (it == inbound.end()) return 0;
  if (it->is_number_unsigned()) return it->get<std::uint64_t>();
  if (it->is_number_integer() && it->get<std::int64_t>() >= 0) return static_cast<std::uint64_t>(it->get<std::int64_t>());
  return 0;
}

// A string of 1 to MAX_PROXY_CREDENTIAL_BYTES UTF-8 bytes.
const std::string* credential(const Json& user, const char* key) {
  if (!user.is_object()) return nullptr;
  const auto it = user.find(key);
  if (it == user.end() || !it->is_string()) return nullptr;
  const auto& value = it->get_ref<const std::string&>();
  if (value.empty() || value.size() > MAX_PROXY_CREDENTIAL_BYTES) return nullptr;
  return &value;
}

}  // namespace

bool is_reserved_proxy_port(std::uint64_t port) { return port == 9090 || (port >= 19090 && port <= 19129); }

Result<std::optional<Json>> normalize_user_proxy_inbound(const Json& inbound) {
  if (!inbound.is_object() || !is_string(inbound, "tag", USER_PROXY_TAG)) return std::optional<Json>();

  const std::uint64_t port = port_of(inbound);
  if (!is_string(inbound, "type", "mixed") || !is_string(inbound, "listen", "127.0.0.1") || port < USER_PROXY_MIN_PORT ||
      port > 65535 || is_reserved_proxy_port(port)) {
    return fail("helper: invalid user loopback proxy");
  }

  Json rebuilt = Json::object();
  rebuilt["listen"] = "127.0.0.1";
  rebuilt["listen_port"] = port;
  rebuilt["tag"] = USER_PROXY_TAG;
  rebuilt["type"] = "mixed";

  const auto users = inbound.find("users");
  if (users == inbound.end()) return std::optional<Json>(std::move(rebuilt));

  // Present but null, empty or longer than one entry is as wrong as a bad entry.
  const std::string* username = nullptr;
  const std::string* password = nullptr;
  if (users->is_array() && users->size() == 1) {
    username = credential(users->front(), "username");
    password = credential(users->front(), "password");
  }
  if (!username || !password) return fail("invalid proxy credentials");
  rebuilt["users"] = Json::array({Json::object({{"password", *password}, {"username", *username}})});
  return std::optional<Json>(std::move(rebuilt));
}

}  // namespace vorn
