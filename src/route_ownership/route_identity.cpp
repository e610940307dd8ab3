#include "route_ownership/route_identity.hpp"

#include <array>
#include <fmt/format.h>

#include "route_ownership/bypass_snapshot.hpp"
#include "tun/address_ranges.hpp"
#include "tun/ip_address.hpp"
#include "tun_adapter/adapter_names.hpp"

namespace vorn {
namespace {

template <class Enum, std::size_t N>
std::string_view name_of(Enum value, const std::array<std::string_view, N>& names) {
  const auto index = static_cast<std::size_t>(value);
  return index < N ? names[index] : "?";
}

template <class T>
std::string optional_text(const std::optional<T>& value) {
  if (!value) return "None";
  if constexpr (std::is_enum_v<T>) {
    return fmt::format("Some({})", to_string(*value));
  } else {
    return fmt::format("Some({})", *value);
  }
}

// Equal for the repeat count: the point ordinal and witness count do not
// make a failure new.
bool same_failure(RouteReason a, RouteReason b) {
  a.point_ordinal = b.point_ordinal;
  a.witness_count = b.witness_count;
  return a == b;
}

RouteReason identity_reason(RouteReasonCode code, RouteApi api = RouteApi::None,
                            std::optional<std::uint32_t> api_code = std::nullopt,
                            RouteFamily family = RouteFamily::Unspecified) {
  return RouteReason{.stage = RouteStage::Identity, .reason = code, .api = api, .api_code = api_code, .family = family};
}

constexpr std::uint32_t DAD_STATE_PREFERRED = 4;

std::optional<IpAddress> range_host(std::string_view text) {
  return parse_ip_address(text.substr(0, text.find('/')));
}

}  // namespace

std::string_view to_string(RouteStage value) {
  return name_of(value, std::array<std::string_view, 8>{"Identity", "LocalResources", "RouteSnapshot", "Prefixes",
                                                         "Witnesses", "BestRoute", "Recheck", "Worker"});
}
std::string_view to_string(RouteReasonCode value) {
  return name_of(value, std::array<std::string_view, 18>{
                            "InvalidInput", "NativeApi", "MissingNativeValue", "TableLimit",
                            "MissingPreferredAddress", "ResourceIdentity", "ResourceLimit", "Parse", "WitnessPlan",
                            "EmptyWitnesses", "WitnessLimit", "NativeBudget", "WorkerBusy", "PriorWorker",
                            "WorkerTimeout", "WorkerJoin", "SnapshotRead", "ForeignRoute"});
}
std::string_view to_string(RouteApi value) {
  return name_of(value, std::array<std::string_view, 6>{"None", "AliasToLuid", "UnicastTable", "InterfaceEntry",
                                                         "BestRoute", "RouteTable"});
}
std::string_view to_string(RouteFamily value) {
  return name_of(value, std::array<std::string_view, 3>{"Unspecified", "Ipv4", "Ipv6"});
}
std::string_view to_string(DestinationClass value) {
  return name_of(value, std::array<std::string_view, 13>{"ZeroNet", "Loopback", "LinkLocal", "Private", "Multicast",
                                                          "ReservedHigh240", "LimitedBroadcast", "OtherIpv4",
                                                          "Ipv6Compatible", "Ipv4Mapped", "Unspecified", "Ula",
                                                          "OtherIpv6"});
}
std::string_view to_string(WitnessScope value) {
  return name_of(value, std::array<std::string_view, 2>{"Capture", "BaselineBypass"});
}
std::string_view to_string(QueryPass value) {
  return name_of(value, std::array<std::string_view, 2>{"Initial", "EffectiveRecheck"});
}
std::string_view to_string(InterfaceKind value) {
  return name_of(value, std::array<std::string_view, 6>{"Hardware", "VirtualEthernet", "Tunnel", "Loopback", "Other",
                                                         "Unknown"});
}

// Leaked on purpose: status threads may still log while the process exits.
RouteReasonState& ROUTE_REASON_STATE = *new RouteReasonState;

std::optional<std::string> format_route_reason(RouteReasonState& state, const RouteReason& reason,
                                               std::chrono::nanoseconds elapsed, bool identity_present) {
  const std::uint64_t elapsed_ms =
      elapsed.count() < 0 ? 0 : static_cast<std::uint64_t>(elapsed.count()) / 1'000'000;
  std::uint64_t previous_repetitions = 0;
  std::uint64_t previous_first_elapsed_ms = 0;
  {
    const std::lock_guard guard(state.lock);
    if (state.last && same_failure(*state.last, reason) && state.identity_present == identity_present) {
      if (state.repetitions != UINT64_MAX) ++state.repetitions;
      return std::nullopt;
    }
    if (state.last) {
      previous_repetitions = state.repetitions;
      previous_first_elapsed_ms = state.first_elapsed_ms;
    }
    state.last = reason;
    state.identity_present = identity_present;
    state.first_elapsed_ms = elapsed_ms;
    state.repetitions = 0;
  }
  return fmt::format(
      "[route-reason] stage={} reason={} api={} api_code={} family={} destination_class={} witness_scope={} "
      "query_pass={} point_ordinal={} witness_count={} foreign_interface={} elapsed_ms={} identity_present={} "
      "previous_repetitions={} previous_first_elapsed_ms={}",
      to_string(reason.stage), to_string(reason.reason), to_string(reason.api), optional_text(reason.api_code),
      to_string(reason.family), optional_text(reason.destination_class), optional_text(reason.witness_scope),
      optional_text(reason.query_pass), optional_text(reason.point_ordinal), reason.witness_count,
      optional_text(reason.foreign_interface), elapsed_ms, identity_present ? "true" : "false", previous_repetitions,
      previous_first_elapsed_ms);
}

std::optional<std::string> format_route_reason(const RouteReason& reason, std::chrono::nanoseconds elapsed,
                                               bool identity_present) {
  return format_route_reason(ROUTE_REASON_STATE, reason, elapsed, identity_present);
}

RouteIdentityResult build_tun_route_identity(platform::IpHelper& ip, std::string name, std::uint64_t range,
                                             std::vector<std::string> exclusions,
                                             std::vector<BaselineBypass> baseline) {
  if (range > 1 || !is_own_adapter_name(name)) return std::unexpected(identity_reason(RouteReasonCode::InvalidInput));

  const auto luid = ip.alias_to_luid(name);
  if (!luid)
    return std::unexpected(
        identity_reason(RouteReasonCode::NativeApi, RouteApi::AliasToLuid, luid.error().os_code().value_or(0)));
  if (*luid == 0) return std::unexpected(identity_reason(RouteReasonCode::MissingNativeValue));

  const auto table = ip.unicast_table();
  if (!table)
    return std::unexpected(
        identity_reason(RouteReasonCode::NativeApi, RouteApi::UnicastTable, table.error().os_code().value_or(0)));
  if (!*table) return std::unexpected(identity_reason(RouteReasonCode::MissingNativeValue));
  if ((*table)->size() > MAX_UNICAST_ROWS) return std::unexpected(identity_reason(RouteReasonCode::TableLimit));

  const std::optional<IpAddress> v4_host = range_host(TUN_ADDRESS_RANGES[range].ipv4);
  const std::optional<IpAddress> v6_host = range_host(TUN_ADDRESS_RANGES[range].ipv6);
  const auto* v4 = v4_host ? std::get_if<Ipv4Address>(&*v4_host) : nullptr;
  const auto* v6 = v6_host ? std::get_if<Ipv6Address>(&*v6_host) : nullptr;
  if (!v4 || !v6) return std::unexpected(identity_reason(RouteReasonCode::Parse));

  std::optional<std::uint32_t> ipv4_index;
  std::optional<std::uint32_t> ipv6_index;
  for (const platform::UnicastRow& row : **table) {
    if (row.luid != *luid || row.if_index == 0 || row.dad_state != DAD_STATE_PREFERRED) continue;
    if (row.address.family == platform::AddressFamily::V4 &&
        std::equal(v4->octets.begin(), v4->octets.end(), row.address.bytes.begin()))
      ipv4_index = row.if_index;
    else if (row.address.family == platform::AddressFamily::V6 && row.address.bytes == v6->bytes)
      ipv6_index = row.if_index;
  }
  if (!ipv4_index)
    return std::unexpected(identity_reason(RouteReasonCode::MissingPreferredAddress, RouteApi::None, std::nullopt,
                                           RouteFamily::Ipv4));
  if (!ipv6_index)
    return std::unexpected(identity_reason(RouteReasonCode::MissingPreferredAddress, RouteApi::None, std::nullopt,
                                           RouteFamily::Ipv6));
  return TunRouteIdentity{
      .name = std::move(name),
      .luid = *luid,
      .range = range,
      .ipv4_index = *ipv4_index,
      .ipv6_index = *ipv6_index,
      .exclusions = std::move(exclusions),
      .baseline_bypass = std::move(baseline),
  };
}

std::optional<TunRouteIdentity> capture_tun_route_identity(platform::IpHelper& ip, RouteReasonState& state,
                                                           std::string name, std::uint64_t range,
                                                           std::vector<std::string> exclusions,
                                                           std::vector<BaselineBypass> baseline,
                                                           const std::function<void(std::string)>& push_log) {
  const auto start = std::chrono::steady_clock::now();
  RouteIdentityResult built =
      build_tun_route_identity(ip, std::move(name), range, std::move(exclusions), std::move(baseline));
  if (built) return std::move(*built);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  if (auto line = format_route_reason(state, built.error(), elapsed, false)) push_log(std::move(*line));
  return std::nullopt;
}

}  // namespace vorn
