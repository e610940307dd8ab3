// Feeds arbitrary bytes to the request reader. A text that parses is written
// back as an envelope and must read back to the same request; every reply
// built on the way must be one line.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "helper_service/wire.hpp"

namespace {

using vorn::Json;

Json request_object(const vorn::Request& request) {
  return std::visit(
      [](const auto& r) -> Json {
        using T = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<T, vorn::cmd::Ping>) {
          return {{"cmd", "ping"}};
        } else if constexpr (std::is_same_v<T, vorn::cmd::Status>) {
          return {{"cmd", "status"}};
        } else if constexpr (std::is_same_v<T, vorn::cmd::ProvisionCore>) {
          return {{"cmd", "provision_core"}, {"core_src", r.core_src}, {"wintun_src", r.wintun_src}};
        } else if constexpr (std::is_same_v<T, vorn::cmd::Connect>) {
          return {{"cmd", "connect"}, {"config_json", r.config_json}, {"kill_switch", r.kill_switch}};
        } else if constexpr (std::is_same_v<T, vorn::cmd::Disconnect>) {
          return {{"cmd", "disconnect"}};
        } else if constexpr (std::is_same_v<T, vorn::cmd::DisconnectOwned>) {
          return {{"cmd", "disconnect_owned"}, {"authority", vorn::stop_authority_to_value(r.authority)}};
        } else {
          return {{"cmd", "logs"}, {"since", r.since}};
        }
      },
      request);
}

void require_one_line(const std::string& reply) {
  if (reply.find('\n') != std::string::npos || reply.find('\r') != std::string::npos) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // The raw bytes as a message: invalid UTF-8 must be written, not thrown.
  require_one_line(vorn::serialize_response(vorn::ResponseError{std::string(text)}));

  const vorn::Result<vorn::Envelope> envelope = vorn::deserialize_envelope(text);
  if (!envelope) {
    require_one_line(vorn::serialize_response(vorn::ResponseError{"bad request: " + envelope.error().full()}));
    return 0;
  }
  const Json request = request_object(envelope->request);
  require_one_line(vorn::serialize_response(vorn::ResponseOk{request}));

  const std::string again = Json{{"token", envelope->token}, {"request", request}}.dump();
  const vorn::Result<vorn::Envelope> reread = vorn::deserialize_envelope(again);
  if (!reread || reread->token != envelope->token || !(reread->request == envelope->request)) __builtin_trap();
  return 0;
}
