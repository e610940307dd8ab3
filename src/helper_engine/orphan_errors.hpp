// Every engine failure after which a core may be left running unowned, or its
// stop unconfirmed, starts with the code word E_CORE_ORPHAN so that the client
// can tell it from an ordinary failure.
#pragma once

namespace vorn::orphan {

inline constexpr const char* SERVICE_STOPPING = "E_CORE_ORPHAN: helper service is stopping";
inline constexpr const char* RECORD_NOT_SAVED = "E_CORE_ORPHAN: core ownership record could not be saved";
inline constexpr const char* OWN_STOP_UNCONFIRMED = "E_CORE_ORPHAN: own core stop unconfirmed";
inline constexpr const char* RECORDED_STOP_UNCONFIRMED = "E_CORE_ORPHAN: recorded core stop unconfirmed";
inline constexpr const char* STALE_AUTHORITY = "E_CORE_ORPHAN: stale helper stop authority";
inline constexpr const char* AUTHORITY_REQUIRED = "E_CORE_ORPHAN: helper stop authority required";
// Followed by the wait's error text.
inline constexpr const char* OWN_WAIT_UNCONFIRMED_PREFIX = "E_CORE_ORPHAN: own core wait remains unconfirmed: ";

}  // namespace vorn::orphan
