// One engine operation per request, and its reply.
#pragma once

#include <optional>

#include "helper_engine/engine.hpp"
#include "helper_service/wire.hpp"

namespace vorn {

// "provision_core", "connect" and "disconnect_owned" are counted in flight by
// the pipe layer from authorisation until the engine call returns.
bool is_counted_request(const Request& request);

Response dispatch_request(const HelperEngine& engine, const Request& request);

// The body of the blocking task: dispatches, then releases the engine handle
// and only then the guard.
Response run_request_blocking(HelperEngine engine, Request request, std::optional<InFlightGuard> guard);

}  // namespace vorn
