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

  Result<std::string> own_image_path() override {
    std::wstring buffer(32768, L'\0');
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return fail(win32::last_error());
    // A full buffer means the path was cut short.
    if (length >= buffer.size()) return fail(win32::os_error(ERROR_INSUFFICIENT_BUFFER));
    buffer.resize(length);
    return win32::narrow(buffer);
  }

  std::optional<std::vector<std::string>> split_command_line(std::string_view line) override {
    // The system answers an empty line with this program's own path, which
    // would make an empty registration look like this installation's.
    if (line.empty()) return std::vector<std::string>{};
    int count = 0;
    // The array is one LocalAlloc block, released on every path.
    win32::unique_hlocal owner(::CommandLineToArgvW(win32::wide(line).c_str(), &count));
    if (!owner) return std::nullopt;
    wchar_t** argv = static_cast<wchar_t**>(owner.get());
    std::vector<std::string> args;
    args.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) args.push_back(win32::narrow(argv[i]));
    return args;
  }

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
