// Removal of Wintun adapters that an earlier run of ours left behind. It runs
// before every core launch on a worker thread of its own, because SetupAPI
// can hang on a wedged driver and the caller must not; the caller waits a
// bounded time and refuses to launch on any doubt. At most one worker exists
// in the process: a worker that outlived its caller still owns the devices.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/devices.hpp"
#include "support/error.hpp"

namespace vorn {

// The messages of the adapters removed, in order, or one error whose message
// is the whole text (codes appear only inside it).
using AdapterCleanupResult = Result<std::vector<std::string>>;

inline constexpr std::chrono::seconds ADAPTER_CLEANUP_LIMIT{5};
inline constexpr std::string_view ADAPTER_CLEANUP_THREAD_NAME = "vorn-adapter-cleanup";

// True exactly while a cleanup worker runs or is being started.
inline std::atomic<bool> ADAPTER_CLEANUP_BUSY{false};

// Starts the worker and waits for it at most `limit`. `devices` must live for
// the whole process: a worker that outlives the wait keeps using it.
AdapterCleanupResult run_adapter_cleanup_bounded(platform::Devices& devices, std::chrono::nanoseconds limit);

// The body of the worker thread: walks, clears `busy`, then sends. The flag
// is cleared however the walk ends; an aborted walk sends nothing.
void adapter_cleanup_worker(platform::Devices& devices, std::promise<AdapterCleanupResult> sender,
                            std::atomic<bool>& busy);

// The removal walk; fail-closed, the first doubt ends it.
AdapterCleanupResult remove_stale_own_adapters(platform::Devices& devices);

// The first string of one registry property of the set's current device;
// nullopt when absent or empty.
Result<std::optional<std::string>> device_registry_string(platform::NetDeviceSet& set, platform::DeviceProperty property);

// One REG_SZ value under HKEY_LOCAL_MACHINE; nullopt when the key or the
// value is absent, or the text is empty.
Result<std::optional<std::string>> hklm_reg_sz(platform::Devices& devices, const std::string& subkey,
                                               const std::string& value);

// A duration as the time-out text writes it: "5s", "1.5s", "500ms", "2µs".
std::string format_compact_duration(std::chrono::nanoseconds duration);

}  // namespace vorn
