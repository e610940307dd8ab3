#include <optional>
#include <vector>

#include "platform/environment.hpp"
#include "platform/win32/system.hpp"
#include "platform/win32/windows_support.hpp"

namespace vorn::platform {
namespace {

using GetTempPath2Fn = DWORD(WINAPI*)(DWORD, LPWSTR);

std::u16string_view utf16(const std::wstring& s) {
  return {reinterpret_cast<const char16_t*>(s.data()), s.size()};
}

// Calls `fill(buffer, capacity)`, a Win32 getter that returns the length it
// wrote, or the capacity it needs (NUL included) when the buffer is too small.
template <class Fill>
std::optional<std::wstring> read_sized(Fill fill) {
  std::wstring buffer(MAX_PATH + 1, L'\0');
  for (;;) {
    const DWORD length = fill(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return std::nullopt;
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    // The value may have grown again between the two calls.
    buffer.resize(length);
  }
}

class WindowsEnvironment final : public Environment {
 public:
  WindowsEnvironment() {
    // Windows 11 and later Windows 10 updates; absent under Wine.
    if (HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll")) {
      temp_path2_ = reinterpret_cast<GetTempPath2Fn>(reinterpret_cast<void*>(::GetProcAddress(kernel, "GetTempPath2W")));
    }
  }

  std::optional<std::string> variable(std::string_view name) override {
    const std::wstring key = win32::wide(name);
    bool absent = false;
    const auto value = read_sized([&](wchar_t* buffer, DWORD capacity) {
      // A present but empty variable also gives 0, with no error set.
      ::SetLastError(ERROR_SUCCESS);
      const DWORD length = ::GetEnvironmentVariableW(key.c_str(), buffer, capacity);
      absent = length == 0 && ::GetLastError() != ERROR_SUCCESS;
      return length;
    });
    if (absent) return std::nullopt;
    if (!value) return std::string();
    return text::from_utf16_strict(utf16(*value));
  }

  std::vector<std::string> command_line() override {
    int count = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    win32::unique_hlocal owner(argv);
    std::vector<std::string> args;
    if (argv == nullptr) return args;
    args.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) args.push_back(win32::narrow(argv[i]));
    return args;
  }

  bool is_elevated() override { return ::IsUserAnAdmin() != FALSE; }

  Result<std::string> temp_dir() override {
    const auto path = read_sized([&](wchar_t* buffer, DWORD capacity) {
      return temp_path2_ != nullptr ? temp_path2_(capacity, buffer) : ::GetTempPathW(capacity, buffer);
    });
    if (!path) return fail(win32::last_error());
    return win32::narrow(*path);
  }

 private:
  GetTempPath2Fn temp_path2_ = nullptr;
};

}  // namespace

Environment& win32_environment() {
  static WindowsEnvironment environment;
  return environment;
}

}  // namespace vorn::platform
