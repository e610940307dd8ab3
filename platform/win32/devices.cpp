#include "platform/devices.hpp"
#include "platform/win32/system.hpp"
#include "platform/win32/windows_support.hpp"

namespace vorn::platform {
namespace {

// GUID_DEVCLASS_NET, written out so that no GUID-defining header is needed.
constexpr GUID NET_CLASS = {0x4d36e972, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

class WindowsDeviceSet final : public NetDeviceSet {
 public:
  explicit WindowsDeviceSet(win32::unique_devinfo set) : set_(std::move(set)) {}

  std::expected<void, Win32Code> select(std::uint32_t index) override {
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(SP_DEVINFO_DATA);
    if (!::SetupDiEnumDeviceInfo(set_.get(), index, &device)) return std::unexpected(::GetLastError());
    device_ = device;
    return {};
  }

  std::optional<std::u16string> instance_id() override {
    wchar_t buffer[512]{};
    if (!::SetupDiGetDeviceInstanceIdW(set_.get(), &device_, buffer, 512, nullptr)) return std::nullopt;
    return win32::units_before_nul(buffer, 512);
  }

  std::expected<std::u16string, Win32Code> registry_property(DeviceProperty property) override {
    alignas(wchar_t) BYTE buffer[2048]{};
    if (!::SetupDiGetDeviceRegistryPropertyW(set_.get(), &device_, static_cast<DWORD>(property), nullptr, buffer, sizeof buffer, nullptr))
      return std::unexpected(::GetLastError());
    return win32::units_before_nul(reinterpret_cast<const wchar_t*>(buffer), sizeof buffer / sizeof(wchar_t));
  }

  Status remove_current() override {
    SP_REMOVEDEVICE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    params.Scope = DI_REMOVEDEVICE_GLOBAL;
    params.HwProfile = 0;
    if (!::SetupDiSetClassInstallParamsW(set_.get(), &device_, &params.ClassInstallHeader, sizeof params))
      return fail(win32::last_error());
    if (!::SetupDiCallClassInstaller(DIF_REMOVE, set_.get(), &device_)) return fail(win32::last_error());
    return {};
  }

 private:
  win32::unique_devinfo set_;
  SP_DEVINFO_DATA device_{};
};

class WindowsDevices final : public Devices {
 public:
  Result<std::unique_ptr<NetDeviceSet>> open_network_class() override {
    win32::unique_devinfo set(::SetupDiGetClassDevsExW(&NET_CLASS, nullptr, nullptr, 0, nullptr, nullptr, nullptr));
    if (!set) return fail(win32::last_error());
    return std::make_unique<WindowsDeviceSet>(std::move(set));
  }

  std::expected<std::u16string, Win32Code> read_machine_string(const std::string& subkey,
                                                              const std::string& value) override {
    wchar_t buffer[512]{};
    DWORD size = sizeof buffer;
    const LSTATUS status = ::RegGetValueW(HKEY_LOCAL_MACHINE, win32::wide(subkey).c_str(), win32::wide(value).c_str(),
                                          RRF_RT_REG_SZ, nullptr, buffer, &size);
    if (status != ERROR_SUCCESS) return std::unexpected(static_cast<Win32Code>(status));
    return win32::units_before_nul(buffer, 512);
  }

  void name_current_thread(const std::string& name) override {
    // Looked up at run time: older systems lack the call.
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    const auto set = kernel ? reinterpret_cast<SetDescription>(
                                  reinterpret_cast<void*>(::GetProcAddress(kernel, "SetThreadDescription")))
                            : nullptr;
    if (set) set(::GetCurrentThread(), win32::wide(name).c_str());
  }
};

}  // namespace

Devices& win32_devices() {
  static WindowsDevices devices;
  return devices;
}

}  // namespace vorn::platform
