// The records the engine hands back to the control channel.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "route_ownership/records.hpp"

namespace vorn {

inline constexpr const char* HELPER_VERSION = "0.12.12";

// Proof that a stop comes from the client that started the current run.
struct StopAuthority {
  std::string instance;
  std::uint64_t generation = 0;

  friend bool operator==(const StopAuthority&, const StopAuthority&) = default;
};

struct RunStartAck {
  std::uint32_t protocol = 1;
  bool connected = true;
  StopAuthority stop_authority;
  std::uint64_t run_generation = 0;
};

enum class RecoveryKind { Adapter, Address };
enum class RecoveryStage { Detected, Cleanup, Spawn, Live };

struct RecoveryEvent {
  RecoveryStage stage = RecoveryStage::Detected;
  std::uint64_t elapsed_ms = 0;
  bool admitted = false;
  bool same_generation = false;
  bool owned_adapter_namespace = false;
  bool trusted_spawn = false;
};

// The record of one retry after an early core exit.
struct RecoveryReceipt {
  std::uint64_t generation = 0;
  std::uint8_t attempt = 0;
  RecoveryKind kind = RecoveryKind::Adapter;
  std::uint64_t elapsed_ms = 0;
  std::vector<RecoveryEvent> events;
};

struct StatusData {
  std::optional<TunRouteIdentity> tun_route_identity;
  std::string version = HELPER_VERSION;
  bool running = false;
  std::string mode = "none";
  bool core_ready = false;
  std::optional<std::string> last_error;
  std::optional<StopAuthority> stop_authority;
  std::optional<bool> cleanup_confirmed;
  std::optional<std::uint64_t> run_generation;
  std::optional<std::uint32_t> run_start_ack;
  std::optional<RecoveryReceipt> recovery_receipt;
};

struct LogsData {
  std::vector<std::string> lines;
  std::uint64_t next = 0;
};

}  // namespace vorn
