// The route identity of the running TUN adapter for the "status" reply, and
// the route-reason line that says once why it could not be read. A status
// poll repeats the same failure many times a minute, so identical failures
// are counted and the count is written with the next different one.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ip_helper.hpp"
#include "route_ownership/records.hpp"

namespace vorn {

enum class RouteStage { Identity, LocalResources, RouteSnapshot, Prefixes, Witnesses, BestRoute, Recheck, Worker };
enum class RouteReasonCode {
  InvalidInput,
  NativeApi,
  MissingNativeValue,
  TableLimit,
  MissingPreferredAddress,
  ResourceIdentity,
  ResourceLimit,
  Parse,
  WitnessPlan,
  EmptyWitnesses,
  WitnessLimit,
  NativeBudget,
  WorkerBusy,
  PriorWorker,
  WorkerTimeout,
  WorkerJoin,
  SnapshotRead,
  ForeignRoute,
};
enum class RouteApi { None, AliasToLuid, UnicastTable, InterfaceEntry, BestRoute, RouteTable };
enum class RouteFamily { Unspecified, Ipv4, Ipv6 };
enum class DestinationClass {
  ZeroNet,
  Loopback,
  LinkLocal,
  Private,
  Multicast,
  ReservedHigh240,
  LimitedBroadcast,
  OtherIpv4,
  Ipv6Compatible,
  Ipv4Mapped,
  Unspecified,
  Ula,
  OtherIpv6,
};
enum class WitnessScope { Capture, BaselineBypass };
enum class QueryPass { Initial, EffectiveRecheck };
enum class InterfaceKind { Hardware, VirtualEthernet, Tunnel, Loopback, Other, Unknown };

std::string_view to_string(RouteStage value);
std::string_view to_string(RouteReasonCode value);
std::string_view to_string(RouteApi value);
std::string_view to_string(RouteFamily value);
std::string_view to_string(DestinationClass value);
std::string_view to_string(WitnessScope value);
std::string_view to_string(QueryPass value);
std::string_view to_string(InterfaceKind value);

// Why no identity was built; the fields in the order the line prints them.
struct RouteReason {
  RouteStage stage = RouteStage::Identity;
  RouteReasonCode reason = RouteReasonCode::InvalidInput;
  RouteApi api = RouteApi::None;
  std::optional<std::uint32_t> api_code;
  RouteFamily family = RouteFamily::Unspecified;
  std::optional<DestinationClass> destination_class;
  std::optional<WitnessScope> witness_scope;
  std::optional<QueryPass> query_pass;
  std::optional<std::uint64_t> point_ordinal;
  std::uint64_t witness_count = 0;
  std::optional<InterfaceKind> foreign_interface;

  friend bool operator==(const RouteReason&, const RouteReason&) = default;
};

// The last logged reason and how often it has repeated since.
struct RouteReasonState {
  std::mutex lock;
  std::optional<RouteReason> last;
  bool identity_present = false;
  std::uint64_t first_elapsed_ms = 0;  // a steady-clock span in ms never needs more
  std::uint64_t repetitions = 0;
};

// The process-wide record; never reset, never destroyed.
extern RouteReasonState& ROUTE_REASON_STATE;

// The line to log, or nullopt when `reason` repeats the last one (equal but
// for the point ordinal and witness count, with the same flag).
std::optional<std::string> format_route_reason(RouteReasonState& state, const RouteReason& reason,
                                               std::chrono::nanoseconds elapsed, bool identity_present);
std::optional<std::string> format_route_reason(const RouteReason& reason, std::chrono::nanoseconds elapsed,
                                               bool identity_present);

using RouteIdentityResult = std::expected<TunRouteIdentity, RouteReason>;

RouteIdentityResult build_tun_route_identity(platform::IpHelper& ip, std::string name, std::uint64_t range,
                                             std::vector<std::string> exclusions,
                                             std::vector<BaselineBypass> baseline);

// Never fails: a failure gives nullopt and at most one line through
// `push_log`, written after the state's lock is released.
std::optional<TunRouteIdentity> capture_tun_route_identity(platform::IpHelper& ip, RouteReasonState& state,
                                                           std::string name, std::uint64_t range,
                                                           std::vector<std::string> exclusions,
                                                           std::vector<BaselineBypass> baseline,
                                                           const std::function<void(std::string)>& push_log);

}  // namespace vorn
