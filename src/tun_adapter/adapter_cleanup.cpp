#include "tun_adapter/adapter_cleanup.hpp"

#include <system_error>
#include <thread>
#include <utility>

#include "support/text.hpp"
#include "tun_adapter/adapter_names.hpp"

namespace vorn {
namespace {

constexpr platform::Win32Code ERROR_FILE_NOT_FOUND = 2;
constexpr platform::Win32Code ERROR_PATH_NOT_FOUND = 3;
constexpr platform::Win32Code ERROR_INVALID_DATA = 13;
constexpr platform::Win32Code ERROR_NO_MORE_ITEMS = 259;

constexpr std::string_view NET_CLASS_GUID = "{4D36E972-E325-11CE-BFC1-08002BE10318}";

std::unexpected<Error> refuse(std::string text) { return fail(Error(std::move(text))); }

std::string ascii_upper(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

bool is_wintun(const std::string& instance_id, const std::string& hardware_id) {
  const std::string upper = ascii_upper(instance_id);
  return upper.starts_with("SWD\\WINTUN\\") || upper.starts_with("ROOT\\WINTUN\\") ||
         (hardware_id.size() == 6 && text::to_lower_ascii(hardware_id) == "wintun");
}

// The braced GUID that ends an instance identifier such as
// "SWD\WINTUN\{...}", used when the driver key does not name the adapter.
std::optional<std::string> guid_from_instance_id(const std::string& instance_id) {
  const std::size_t slash = instance_id.rfind('\\');
  std::string last = slash == std::string::npos ? instance_id : instance_id.substr(slash + 1);
  if (last.size() == 38 && last.front() == '{' && last.back() == '}') return last;
  return std::nullopt;
}

Result<std::vector<std::string>> ownership_names(platform::Devices& devices, platform::NetDeviceSet& set,
                                                 const std::string& instance_id) {
  std::vector<std::string> names;
  auto driver = device_registry_string(set, platform::DeviceProperty::Driver);
  if (!driver) return fail(driver.error());
  std::optional<std::string> instance_guid;
  if (*driver) {
    auto configured = hklm_reg_sz(devices, "SYSTEM\\CurrentControlSet\\Control\\Class\\" + **driver, "NetCfgInstanceId");
    if (!configured) return fail(configured.error());
    instance_guid = std::move(*configured);
  }
  if (!instance_guid) instance_guid = guid_from_instance_id(instance_id);
  if (instance_guid) {
    auto connection = hklm_reg_sz(
        devices, "SYSTEM\\CurrentControlSet\\Control\\Network\\" + std::string(NET_CLASS_GUID) + "\\" + *instance_guid + "\\Connection",
        "Name");
    if (!connection) return fail(connection.error());
    if (*connection) names.push_back(std::move(**connection));
  }
  auto friendly = device_registry_string(set, platform::DeviceProperty::FriendlyName);
  if (!friendly) return fail(friendly.error());
  if (*friendly) names.push_back(std::move(**friendly));
  if (names.empty()) return refuse("adapter cleanup: Wintun ownership names unavailable");
  return names;
}

}  // namespace

std::string format_compact_duration(std::chrono::nanoseconds duration) {
  const std::uint64_t total = duration.count() < 0 ? 0 : static_cast<std::uint64_t>(duration.count());
  std::uint64_t whole = total;
  std::uint64_t fraction = 0;
  int digits = 0;
  std::string_view unit = "ns";
  if (total >= 1'000'000'000) {
    whole = total / 1'000'000'000, fraction = total % 1'000'000'000, digits = 9, unit = "s";
  } else if (total >= 1'000'000) {
    whole = total / 1'000'000, fraction = total % 1'000'000, digits = 6, unit = "ms";
  } else if (total >= 1'000) {
    whole = total / 1'000, fraction = total % 1'000, digits = 3, unit = "\u00b5s";
  }
  std::string out = std::to_string(whole);
  if (fraction != 0) {
    std::string tail = std::to_string(fraction);
    tail.insert(0, static_cast<std::size_t>(digits) - tail.size(), '0');
    while (tail.back() == '0') tail.pop_back();
    out += "." + tail;
  }
  out += unit;
  return out;
}

Result<std::optional<std::string>> device_registry_string(platform::NetDeviceSet& set, platform::DeviceProperty property) {
  auto units = set.registry_property(property);
  if (!units) {
    if (units.error() == ERROR_FILE_NOT_FOUND || units.error() == ERROR_INVALID_DATA) return std::optional<std::string>{};
    return refuse("adapter cleanup: device property identity query failed (" + std::to_string(units.error()) + ")");
  }
  std::string value = text::from_utf16_lossy(*units);
  if (value.empty()) return std::optional<std::string>{};
  return std::optional(std::move(value));
}

Result<std::optional<std::string>> hklm_reg_sz(platform::Devices& devices, const std::string& subkey,
                                               const std::string& value) {
  auto units = devices.read_machine_string(subkey, value);
  if (!units) {
    if (units.error() == ERROR_FILE_NOT_FOUND || units.error() == ERROR_PATH_NOT_FOUND) return std::optional<std::string>{};
    return refuse("adapter cleanup: alias identity query failed (" + std::to_string(units.error()) + ")");
  }
  std::string text = text::from_utf16_lossy(*units);
  if (text.empty()) return std::optional<std::string>{};
  return std::optional(std::move(text));
}

AdapterCleanupResult remove_stale_own_adapters(platform::Devices& devices) {
  auto opened = devices.open_network_class();
  if (!opened) return refuse("adapter cleanup: cannot list network devices (" + opened.error().message() + ")");
  // The set is destroyed with this owner on every path below.
  const std::unique_ptr<platform::NetDeviceSet> set = std::move(*opened);

  std::vector<std::string> messages;
  for (std::uint32_t index = 0;; ++index) {
    if (auto selected = set->select(index); !selected) {
      if (selected.error() == ERROR_NO_MORE_ITEMS) return messages;
      return refuse("adapter cleanup: network device enumeration incomplete (" + std::to_string(selected.error()) + ")");
    }
    const std::optional<std::u16string> id_units = set->instance_id();
    if (!id_units) return refuse("adapter cleanup: device instance identity unavailable");
    const std::string instance_id = text::from_utf16_lossy(*id_units);
    if (instance_id.empty()) return refuse("adapter cleanup: empty device instance identity");

    // Read for every device, so that a device we cannot identify stops the
    // walk even when it would not have been ours.
    auto hardware_id = device_registry_string(*set, platform::DeviceProperty::HardwareId);
    if (!hardware_id) return fail(hardware_id.error());
    if (!is_wintun(instance_id, hardware_id->value_or(""))) continue;

    auto names = ownership_names(devices, *set, instance_id);
    if (!names) return fail(names.error());
    bool own = false;
    for (const std::string& name : *names) own = own || is_own_adapter_name(name);
    if (!own) continue;

    if (auto removed = set->remove_current(); !removed)
      return refuse("adapter cleanup: own adapter removal unconfirmed: " + removed.error().message());
    messages.push_back("removed stale TUN adapter " + names->front() + " (" + instance_id + ")");
  }
}

void adapter_cleanup_worker(platform::Devices& devices, std::promise<AdapterCleanupResult> sender,
                            std::atomic<bool>& busy) {
  try {
    AdapterCleanupResult result = remove_stale_own_adapters(devices);
    // Cleared before sending: a caller that has the result may start the
    // next cleanup at once.
    busy.store(false);
    sender.set_value(std::move(result));
  } catch (...) {
    // The promise is dropped unsent; the caller sees a failed worker.
    busy.store(false);
  }
}

AdapterCleanupResult run_adapter_cleanup_bounded(platform::Devices& devices, std::chrono::nanoseconds limit) {
  bool idle = false;
  if (!ADAPTER_CLEANUP_BUSY.compare_exchange_strong(idle, true))
    return refuse("adapter cleanup is still running \u2014 refusing to start a new core");

  std::future<AdapterCleanupResult> receiver;
  try {
    std::promise<AdapterCleanupResult> sender;
    receiver = sender.get_future();
    std::thread worker([&devices, sender = std::move(sender)]() mutable {
      try {
        devices.name_current_thread(std::string(ADAPTER_CLEANUP_THREAD_NAME));
      } catch (...) {
        // A thread without a name still does the work.
      }
      adapter_cleanup_worker(devices, std::move(sender), ADAPTER_CLEANUP_BUSY);
    });
    // Never joined: after a time-out the walk runs on and owns its devices.
    worker.detach();
  } catch (const std::system_error& error) {
    ADAPTER_CLEANUP_BUSY.store(false);
    return refuse("adapter cleanup worker could not start: " + error.code().message() + " (os error " +
                  std::to_string(error.code().value()) + ")");
  } catch (const std::exception& error) {
    // Out of memory before the thread existed: nothing else would ever
    // clear the flag, and every later launch would be refused.
    ADAPTER_CLEANUP_BUSY.store(false);
    return refuse(std::string("adapter cleanup worker could not start: ") + error.what());
  }

  if (receiver.wait_for(limit) != std::future_status::ready)
    return refuse("adapter cleanup did not finish within " + format_compact_duration(limit) +
                  " \u2014 refusing to start a new core");
  try {
    return receiver.get();
  } catch (const std::future_error&) {
    return refuse("adapter cleanup worker failed \u2014 refusing to start a new core");
  }
}

}  // namespace vorn
