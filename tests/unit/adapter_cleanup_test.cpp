// Adapter names and the stale-adapter cleanup against a fake device set.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <semaphore>
#include <stdexcept>
#include <thread>

#include "support/fake_network.hpp"
#include "support/fake_platform.hpp"
#include "tun_adapter/adapter_cleanup.hpp"
#include "tun_adapter/adapter_names.hpp"

namespace vorn {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::FakeDevices;
using testing::fake_device;

struct NameCase {
  std::string name;
  bool own;
};

TEST(AdapterNames, OwnNamesAreTheBareNameOrSixHexDigits) {
  const NameCase cases[] = {
      {"Vorn", true},
      {"vorn", true},
      {"VORN", true},
      {"  Vorn\t", true},
      {"\u3000Vorn\u00a0\u2028", true},  // Unicode white space, not only ASCII
      {"Vorn-abcdef", true},
      {"Vorn-ABCDEF", true},
      {"vORN-0a9F3c", true},
      {" Vorn-123456 ", true},
      {"Vorn-abcde", false},    // five digits
      {"Vorn-abcdef0", false},  // seven digits
      {"Vorn-abcdeg", false},   // a letter beyond f
      {"Vorn_abcdef", false},
      {"Vorn abcdef", false},
      {"Vornx", false},
      {"", false},
      {"   ", false},
      {"V\u00f6rn", false},          // not folded beyond ASCII
      {"Vorn-\uff41bcdef", false},  // a full-width letter is not a hex digit
      {"\u212aorn", false},         // no Unicode case folding of the Kelvin sign
      {"Vorn-abc def", false},
      {"Vorn\u200b", false},  // a zero-width space is not white space
  };
  for (const auto& c : cases) EXPECT_EQ(is_own_adapter_name(c.name), c.own) << '"' << c.name << '"';
}

TEST(AdapterNames, FreshNamesAreOwnWithLowerCaseDigits) {
  testing::FakeRandom random;
  std::set<std::string> seen;
  for (int i = 0; i < 20; ++i) {
    random.next = static_cast<std::uint8_t>(i * 13 + 0xA0);
    auto name = new_adapter_name(random);
    ASSERT_TRUE(name.has_value());
    EXPECT_TRUE(is_own_adapter_name(*name)) << *name;
    ASSERT_EQ(name->size(), 11u);
    EXPECT_TRUE(name->starts_with("Vorn-")) << *name;
    for (const char c : name->substr(5)) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << *name;
    seen.insert(*name);
  }
  EXPECT_GT(seen.size(), 1u);
}

TEST(AdapterNames, RandomFailureIsAnError) {
  testing::FakeRandom random;
  random.fails = true;
  EXPECT_FALSE(new_adapter_name(random).has_value());
}

constexpr std::string_view GUID_A = "{11111111-2222-3333-4444-555555555555}";
constexpr std::string_view GUID_B = "{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}";
const std::string CONNECTION_KEY = "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\";

std::string connection_key(std::string_view guid) { return CONNECTION_KEY + std::string(guid) + "\\Connection|Name"; }
std::string class_key(std::string_view driver) {
  return "SYSTEM\\CurrentControlSet\\Control\\Class\\" + std::string(driver) + "|NetCfgInstanceId";
}

// A Wintun device whose connection name is found through its driver key, as
// Windows registers it.
void add_wintun(FakeDevices& devices, std::string_view instance_id, std::string_view driver, std::string_view guid,
                std::string_view connection_name, std::optional<std::string_view> friendly = {}) {
  devices.devices.push_back(fake_device(instance_id, "Wintun", driver, friendly));
  devices.registry[class_key(driver)] = text::to_utf16(guid);
  devices.registry[connection_key(guid)] = text::to_utf16(connection_name);
}

std::string walk_error(FakeDevices& devices) {
  auto result = remove_stale_own_adapters(devices);
  return result ? "(succeeded)" : result.error().full();
}

TEST(AdapterCleanupWalk, MachineWithoutWintunGivesNoMessages) {
  FakeDevices devices;
  devices.devices.push_back(fake_device("PCI\\VEN_8086&DEV_100E\\3&1", "PCI\\VEN_8086&DEV_100E", "{x}\\0001", "Vorn"));
  auto result = remove_stale_own_adapters(devices);
  ASSERT_TRUE(result.has_value());
  EXPECT_THAT(*result, IsEmpty());
  EXPECT_THAT(devices.removed, IsEmpty());  // own name, but not a Wintun device
  EXPECT_EQ(devices.sets_destroyed, 1);
}

TEST(AdapterCleanupWalk, RemovesOwnWintunAdaptersInOrderAndLeavesOthers) {
  FakeDevices devices;
  add_wintun(devices, "SWD\\Wintun\\" + std::string(GUID_A), "{4d36e972}\\0007", GUID_A, "Vorn-1a2b3c");
  add_wintun(devices, "SWD\\Wintun\\{99999999-2222-3333-4444-555555555555}", "{4d36e972}\\0008",
             "{99999999-2222-3333-4444-555555555555}", "OtherVPN", "OtherVPN Tunnel");
  add_wintun(devices, "ROOT\\WINTUN\\0002", "{4d36e972}\\0009", GUID_B, "vorn");
  auto result = remove_stale_own_adapters(devices);
  ASSERT_TRUE(result.has_value()) << result.error().full();
  EXPECT_THAT(*result, ElementsAre("removed stale TUN adapter Vorn-1a2b3c (SWD\\Wintun\\" + std::string(GUID_A) + ")",
                                   "removed stale TUN adapter vorn (ROOT\\WINTUN\\0002)"));
  EXPECT_THAT(devices.removed, ElementsAre("SWD\\Wintun\\" + std::string(GUID_A), "ROOT\\WINTUN\\0002"));
}

TEST(AdapterCleanupWalk, OwnFriendlyNameRemovesAndTheMessageNamesTheConnection) {
  FakeDevices devices;
  add_wintun(devices, "SWD\\Wintun\\" + std::string(GUID_A), "{4d36e972}\\0007", GUID_A, "Ethernet 3", "Vorn");
  auto result = remove_stale_own_adapters(devices);
  ASSERT_TRUE(result.has_value());
  EXPECT_THAT(*result, ElementsAre("removed stale TUN adapter Ethernet 3 (SWD\\Wintun\\" + std::string(GUID_A) + ")"));
}

TEST(AdapterCleanupWalk, WintunByHardwareIdNamedOnlyByItsFriendlyName) {
  FakeDevices devices;
  // No driver key and no braced GUID at the end of the identifier.
  devices.devices.push_back(fake_device("ROOT\\NET\\0001", "WINTUN", std::nullopt, "Vorn-ABCDEF"));
  auto result = remove_stale_own_adapters(devices);
  ASSERT_TRUE(result.has_value());
  EXPECT_THAT(*result, ElementsAre("removed stale TUN adapter Vorn-ABCDEF (ROOT\\NET\\0001)"));
}

TEST(AdapterCleanupWalk, InstanceGuidFromTheIdentifierWhenTheDriverKeyIsAbsent) {
  FakeDevices devices;
  devices.devices.push_back(fake_device("SWD\\Wintun\\" + std::string(GUID_B)));
  devices.registry[connection_key(GUID_B)] = u"Vorn-00ff00";
  auto result = remove_stale_own_adapters(devices);
  ASSERT_TRUE(result.has_value()) << result.error().full();
  EXPECT_THAT(*result, ElementsAre("removed stale TUN adapter Vorn-00ff00 (SWD\\Wintun\\" + std::string(GUID_B) + ")"));
}

TEST(AdapterCleanupWalk, HardwareIdMustBeExactlyWintun) {
  FakeDevices devices;
  devices.devices.push_back(fake_device("ROOT\\NET\\0001", "wintun0", std::nullopt, "Vorn"));
  devices.devices.push_back(fake_device("ROOT\\NET\\0002", " wintun", std::nullopt, "Vorn"));
  auto result = remove_stale_own_adapters(devices);
  ASSERT_TRUE(result.has_value());
  EXPECT_THAT(*result, IsEmpty());
}

struct WalkErrorCase {
  std::string label;
  std::function<void(FakeDevices&)> arrange;
  std::string error;
};

TEST(AdapterCleanupWalk, EveryDoubtEndsTheWalkWithItsText) {
  const std::string wintun_id = "SWD\\Wintun\\" + std::string(GUID_A);
  const WalkErrorCase cases[] = {
      {"set cannot be opened", [](FakeDevices& d) { d.open_error = 2; },
       "adapter cleanup: cannot list network devices (The system cannot find the file specified. (os error 2))"},
      {"enumeration breaks", [](FakeDevices& d) { d.enumeration_error = {{0, 5}}; },
       "adapter cleanup: network device enumeration incomplete (5)"},
      {"identifier unreadable",
       [](FakeDevices& d) {
         d.devices.push_back(fake_device("X"));
         d.devices.back().instance_id.reset();
       },
       "adapter cleanup: device instance identity unavailable"},
      {"identifier empty", [](FakeDevices& d) { d.devices.push_back(fake_device("")); },
       "adapter cleanup: empty device instance identity"},
      {"hardware id of a foreign device fails",
       [](FakeDevices& d) {
         d.devices.push_back(fake_device("PCI\\VEN_1"));
         d.devices.back().properties[platform::DeviceProperty::HardwareId] = std::unexpected(122u);
       },
       "adapter cleanup: device property identity query failed (122)"},
      {"driver key fails",
       [&](FakeDevices& d) {
         d.devices.push_back(fake_device(wintun_id, "Wintun"));
         d.devices.back().properties[platform::DeviceProperty::Driver] = std::unexpected(1u);
       },
       "adapter cleanup: device property identity query failed (1)"},
      {"friendly name fails",
       [&](FakeDevices& d) {
         d.devices.push_back(fake_device(wintun_id, "Wintun"));
         d.devices.back().properties[platform::DeviceProperty::FriendlyName] = std::unexpected(122u);
       },
       "adapter cleanup: device property identity query failed (122)"},
      {"instance GUID unreadable",
       [&](FakeDevices& d) {
         d.devices.push_back(fake_device(wintun_id, "Wintun", "{c}\\0001"));
         d.registry[class_key("{c}\\0001")] = std::unexpected(5u);
       },
       "adapter cleanup: alias identity query failed (5)"},
      {"connection name unreadable",
       [&](FakeDevices& d) {
         d.devices.push_back(fake_device(wintun_id, "Wintun"));
         d.registry[connection_key(GUID_A)] = std::unexpected(234u);
       },
       "adapter cleanup: alias identity query failed (234)"},
      {"Wintun without any name", [](FakeDevices& d) { d.devices.push_back(fake_device("ROOT\\NET\\0001", "Wintun")); },
       "adapter cleanup: Wintun ownership names unavailable"},
      {"removal refused",
       [&](FakeDevices& d) {
         add_wintun(d, wintun_id, "{c}\\0001", GUID_A, "Vorn");
         d.devices.back().removal_fails = true;
       },
       "adapter cleanup: own adapter removal unconfirmed: Access is denied. (os error 5)"},
      {"earlier removals are not reported",
       [&](FakeDevices& d) {
         add_wintun(d, wintun_id, "{c}\\0001", GUID_A, "Vorn");
         d.devices.push_back(fake_device(""));
       },
       "adapter cleanup: empty device instance identity"},
  };
  for (const auto& c : cases) {
    FakeDevices devices;
    c.arrange(devices);
    EXPECT_EQ(walk_error(devices), c.error) << c.label;
    EXPECT_EQ(devices.sets_destroyed, devices.sets_opened) << c.label;
  }
}

TEST(AdapterCleanupWalk, AbsentPropertiesAndValuesAreNotErrors) {
  FakeDevices devices;
  devices.devices.push_back(fake_device("PCI\\VEN_1"));
  devices.devices.back().properties[platform::DeviceProperty::HardwareId] = std::unexpected(2u);
  devices.devices.push_back(fake_device("ROOT\\NET\\0003", "Wintun", "{c}\\0003", "Vorn"));
  devices.registry[class_key("{c}\\0003")] = std::unexpected(3u);  // key gone
  auto result = remove_stale_own_adapters(devices);
  ASSERT_TRUE(result.has_value()) << result.error().full();
  EXPECT_THAT(*result, ElementsAre("removed stale TUN adapter Vorn (ROOT\\NET\\0003)"));
}

TEST(AdapterCleanupWalk, TextsAreConvertedLossilyAndEmptyTextIsAbsent) {
  FakeDevices devices;
  devices.devices.push_back(fake_device("ROOT\\NET\\0001"));
  devices.devices.back().properties[platform::DeviceProperty::FriendlyName] = std::u16string(u"Vorn") + char16_t(0xD800);
  devices.devices.back().properties[platform::DeviceProperty::Driver] = std::u16string();
  devices.registry["k|v"] = std::u16string();
  auto set = devices.open_network_class();
  ASSERT_TRUE(set.has_value());
  ASSERT_TRUE((*set)->select(0).has_value());
  EXPECT_EQ(device_registry_string(**set, platform::DeviceProperty::FriendlyName).value(), std::optional<std::string>("Vorn\uFFFD"));
  EXPECT_EQ(device_registry_string(**set, platform::DeviceProperty::Driver).value(), std::nullopt);
  EXPECT_EQ(hklm_reg_sz(devices, "k", "v").value(), std::nullopt);
}

TEST(CompactDuration, WritesTheLimitTheWayTheTimeOutTextNeedsIt) {
  using namespace std::chrono;
  const std::pair<nanoseconds, std::string> cases[] = {
      {seconds(5), "5s"},           {milliseconds(1500), "1.5s"}, {milliseconds(500), "500ms"},
      {microseconds(1250), "1.25ms"}, {microseconds(2), "2\u00b5s"}, {nanoseconds(7), "7ns"},
      {nanoseconds(0), "0ns"},       {seconds(61), "61s"},         {nanoseconds(5'000'000'001), "5.000000001s"},
  };
  for (const auto& [duration, text] : cases) EXPECT_EQ(format_compact_duration(duration), text);
}

// The bounded cleanup shares one process-wide flag; every test leaves it
// clear, waiting for a worker it let run on.
class BoundedCleanup : public ::testing::Test {
 protected:
  void TearDown() override {
    release.release(8);
    wait_until_idle();
  }
  static void wait_until_idle() {
    for (int i = 0; i < 2000 && ADAPTER_CLEANUP_BUSY.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_FALSE(ADAPTER_CLEANUP_BUSY.load());
  }
  static std::string text_of(const AdapterCleanupResult& result) {
    return result ? "(" + std::to_string(result->size()) + " messages)" : result.error().full();
  }

  FakeDevices devices;
  std::counting_semaphore<8> release{0};
};

TEST_F(BoundedCleanup, ReturnsTheWalkResultFromANamedWorker) {
  add_wintun(devices, "SWD\\Wintun\\" + std::string(GUID_A), "{c}\\1", GUID_A, "Vorn");
  auto result = run_adapter_cleanup_bounded(devices, std::chrono::seconds(5));
  ASSERT_TRUE(result.has_value()) << result.error().full();
  EXPECT_EQ(result->size(), 1u);
  EXPECT_THAT(devices.thread_names, ElementsAre("vorn-adapter-cleanup"));
  EXPECT_FALSE(ADAPTER_CLEANUP_BUSY.load());  // cleared before the result was sent
}

TEST_F(BoundedCleanup, WalkErrorComesBackUnchanged) {
  devices.open_error = 2;
  EXPECT_EQ(text_of(run_adapter_cleanup_bounded(devices, std::chrono::seconds(5))),
            "adapter cleanup: cannot list network devices (The system cannot find the file specified. (os error 2))");
}

TEST_F(BoundedCleanup, SlowWorkerTimesOutAndBlocksNewCleanupsUntilItEnds) {
  devices.on_open = [this] { release.acquire(); };
  EXPECT_EQ(text_of(run_adapter_cleanup_bounded(devices, std::chrono::milliseconds(50))),
            "adapter cleanup did not finish within 50ms \u2014 refusing to start a new core");
  EXPECT_TRUE(ADAPTER_CLEANUP_BUSY.load());

  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(text_of(run_adapter_cleanup_bounded(devices, std::chrono::seconds(5))),
            "adapter cleanup is still running \u2014 refusing to start a new core");
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));  // no wait at all

  release.release();
  wait_until_idle();
  EXPECT_EQ(devices.thread_names.size(), 1u);  // no second worker was started
  EXPECT_EQ(devices.sets_destroyed.load(), 1);

  devices.on_open = nullptr;
  EXPECT_EQ(text_of(run_adapter_cleanup_bounded(devices, std::chrono::seconds(5))), "(0 messages)");
  EXPECT_EQ(devices.sets_opened.load(), 2);
}

TEST_F(BoundedCleanup, AbortedWalkGivesWorkerFailedAndClearsTheFlag) {
  devices.on_open = [] { throw std::runtime_error("driver store vanished"); };
  EXPECT_EQ(text_of(run_adapter_cleanup_bounded(devices, std::chrono::seconds(5))),
            "adapter cleanup worker failed \u2014 refusing to start a new core");
  EXPECT_FALSE(ADAPTER_CLEANUP_BUSY.load());
  devices.on_open = nullptr;
  EXPECT_EQ(text_of(run_adapter_cleanup_bounded(devices, std::chrono::seconds(5))), "(0 messages)");
}

}  // namespace
}  // namespace vorn
