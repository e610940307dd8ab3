// The control pipe's grammar: one request envelope read from the client and
// one reply written back. The JSON forms of the records a reply carries live
// beside the records (helper_engine/records_json.hpp).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "helper_engine/records.hpp"
#include "helper_engine/records_json.hpp"
#include "support/error.hpp"
#include "support/json.hpp"

namespace vorn {

// The request cases, named as the client's "cmd" values. They live in their
// own namespace because `Status` is also the name of a result type.
namespace cmd {

struct Ping {
  friend bool operator==(const Ping&, const Ping&) = default;
};

struct Status {
  friend bool operator==(const Status&, const Status&) = default;
};

struct ProvisionCore {
  std::string core_src;
  std::string wintun_src;
  friend bool operator==(const ProvisionCore&, const ProvisionCore&) = default;
};

struct Connect {
  std::string config_json;
  bool kill_switch = false;
  friend bool operator==(const Connect&, const Connect&) = default;
};

struct Disconnect {
  friend bool operator==(const Disconnect&, const Disconnect&) = default;
};

struct DisconnectOwned {
  StopAuthority authority;
  friend bool operator==(const DisconnectOwned&, const DisconnectOwned&) = default;
};

struct Logs {
  std::uint64_t since = 0;
  friend bool operator==(const Logs&, const Logs&) = default;
};

}  // namespace cmd

// The alternatives stand in the order of the names in the "unknown variant"
// error.
using Request = std::variant<cmd::Ping, cmd::Status, cmd::ProvisionCore, cmd::Connect, cmd::Disconnect,
                             cmd::DisconnectOwned, cmd::Logs>;

struct Envelope {
  std::string token;
  Request request;
};

struct ResponseOk {
  Json data;
};

struct ResponseError {
  std::string message;
};

struct ResponseUnauthorized {};

using Response = std::variant<ResponseOk, ResponseError, ResponseUnauthorized>;

// Reads one request text strictly. The error's message is a description
// followed by " at line {} column {}": the line counts from 1, the column is
// the number of bytes of that line read when reading stopped.
Result<Envelope> deserialize_envelope(std::string_view bytes);

// The compact reply text without the line feed. Never throws: invalid UTF-8
// in a message or in the data is written as U+FFFD.
std::string serialize_response(const Response& response);

// The fixed reply data of "ping", "provision_core" and the two disconnects.
Json ping_data();
Json provisioned_data();
Json disconnected_data();

}  // namespace vorn
