// The only includer of <windows.h> and the other system headers: every Win32
// source of the platform layer starts here.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <winsock2.h>
#include <windows.h>

#include <bcrypt.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
#include <netioapi.h>
#include <setupapi.h>
#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

#include "support/error.hpp"
#include "support/text.hpp"

namespace vorn::win32 {

// One owner of a system handle; `Traits` names the invalid value and how the
// handle is closed.
template <class Traits>
class unique_any {
 public:
  using pointer = typename Traits::pointer;

  unique_any() = default;
  explicit unique_any(pointer value) : value_(value) {}
  unique_any(const unique_any&) = delete;
  unique_any& operator=(const unique_any&) = delete;
  unique_any(unique_any&& other) noexcept : value_(other.release()) {}
  unique_any& operator=(unique_any&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~unique_any() { reset(); }

  pointer get() const { return value_; }
  explicit operator bool() const { return value_ != Traits::invalid(); }
  pointer release() { return std::exchange(value_, Traits::invalid()); }
  void reset(pointer value = Traits::invalid()) {
    if (value_ != Traits::invalid()) Traits::close(value_);
    value_ = value;
  }
  pointer* put() {
    reset();
    return &value_;
  }

 private:
  pointer value_ = Traits::invalid();
};

struct HandleNullTraits {
  using pointer = HANDLE;
  static pointer invalid() { return nullptr; }
  static void close(pointer h) { ::CloseHandle(h); }
};
struct HandleInvalidTraits {
  using pointer = HANDLE;
  static pointer invalid() { return INVALID_HANDLE_VALUE; }
  static void close(pointer h) { ::CloseHandle(h); }
};
struct ServiceHandleTraits {
  using pointer = SC_HANDLE;
  static pointer invalid() { return nullptr; }
  static void close(pointer h) { ::CloseServiceHandle(h); }
};
struct FindCloseTraits {
  using pointer = HANDLE;
  static pointer invalid() { return INVALID_HANDLE_VALUE; }
  static void close(pointer h) { ::FindClose(h); }
};
struct LocalFreeTraits {
  using pointer = HLOCAL;
  static pointer invalid() { return nullptr; }
  static void close(pointer h) { ::LocalFree(h); }
};

struct DevInfoTraits {
  using pointer = HDEVINFO;
  static pointer invalid() { return INVALID_HANDLE_VALUE; }
  static void close(pointer h) { ::SetupDiDestroyDeviceInfoList(h); }
};
template <class Table>
struct MibTableTraits {
  using pointer = Table*;
  static pointer invalid() { return nullptr; }
  static void close(pointer table) { ::FreeMibTable(table); }
};

// Handles whose failure value is NULL (OpenProcess, CreateEvent, ...).
using unique_handle = unique_any<HandleNullTraits>;
// Handles whose failure value is INVALID_HANDLE_VALUE (CreateFile, pipes,
// Toolhelp snapshots).
using unique_hfile = unique_any<HandleInvalidTraits>;
// FindFirstFileW searches.
using unique_hfind = unique_any<FindCloseTraits>;
using unique_schandle = unique_any<ServiceHandleTraits>;
using unique_hlocal = unique_any<LocalFreeTraits>;
// SetupAPI device information sets.
using unique_devinfo = unique_any<DevInfoTraits>;
// IP Helper tables (GetIpForwardTable2, GetUnicastIpAddressTable, ...).
template <class Table>
using unique_mib_table = unique_any<MibTableTraits<Table>>;

// The system's message text for an error code, without the trailing line end.
std::string system_message(DWORD code);

// "{system text} (os error {code})".
Error os_error(DWORD code);

// os_error(GetLastError()); call it before anything that may change the
// last error.
Error last_error();

// The units of a fixed buffer up to its first NUL, or all of them when it
// holds none.
std::u16string units_before_nul(const wchar_t* buffer, std::size_t capacity);

std::wstring wide(std::string_view utf8);
std::string narrow(std::wstring_view utf16);

}  // namespace vorn::win32
