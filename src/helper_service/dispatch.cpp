#include "helper_service/dispatch.hpp"

#include <type_traits>
#include <variant>

namespace vorn {

bool is_counted_request(const Request& request) {
  return std::holds_alternative<cmd::ProvisionCore>(request) || std::holds_alternative<cmd::Connect>(request) ||
         std::holds_alternative<cmd::DisconnectOwned>(request);
}

Response dispatch_request(const HelperEngine& engine, const Request& request) {
  return std::visit(
      [&](const auto& r) -> Response {
        using T = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<T, cmd::Ping>) {
          return ResponseOk{ping_data()};
        } else if constexpr (std::is_same_v<T, cmd::Logs>) {
          return ResponseOk{logs_data_to_value(engine.logs(r.since))};
        } else if constexpr (std::is_same_v<T, cmd::Status>) {
          return ResponseOk{status_data_to_value(engine.status())};
        } else if constexpr (std::is_same_v<T, cmd::ProvisionCore>) {
          if (auto done = engine.provision_core(r.core_src, r.wintun_src); !done) {
            return ResponseError{done.error().full()};
          }
          return ResponseOk{Json{{"provisioned", true}}};
        } else if constexpr (std::is_same_v<T, cmd::Connect>) {
          auto ack = engine.connect(r.config_json, r.kill_switch);
          if (!ack) return ResponseError{ack.error().full()};
          return ResponseOk{run_start_ack_to_value(*ack)};
        } else if constexpr (std::is_same_v<T, cmd::Disconnect>) {
          if (auto done = engine.disconnect(); !done) return ResponseError{done.error().full()};
          return ResponseOk{disconnected_data()};
        } else {
          static_assert(std::is_same_v<T, cmd::DisconnectOwned>);
          if (auto done = engine.disconnect_owned(r.authority); !done) return ResponseError{done.error().full()};
          return ResponseOk{disconnected_data()};
        }
      },
      request);
}

Response run_request_blocking(HelperEngine engine, Request request, std::optional<InFlightGuard> guard) {
  Response response = dispatch_request(engine, request);
  { HelperEngine released = std::move(engine); }
  guard.reset();
  return response;
}

}  // namespace vorn
