#include "platform/win32/windows_support.hpp"

namespace vorn::win32 {

std::string system_message(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  unique_hlocal owner(buffer);
  if (length == 0 || buffer == nullptr) return "Unknown error";
  std::wstring_view text(buffer, length);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.remove_suffix(1);
  return narrow(text);
}

Error os_error(DWORD code) { return Error::os(code, system_message(code)); }

Error last_error() { return os_error(::GetLastError()); }

std::u16string units_before_nul(const wchar_t* buffer, std::size_t capacity) {
  std::size_t length = 0;
  while (length < capacity && buffer[length] != L'\0') ++length;
  return std::u16string(reinterpret_cast<const char16_t*>(buffer), length);
}

std::wstring wide(std::string_view utf8) {
  const std::u16string u = text::to_utf16(utf8);
  return std::wstring(u.begin(), u.end());
}

std::string narrow(std::wstring_view utf16) {
  return text::from_utf16_lossy(std::u16string_view(reinterpret_cast<const char16_t*>(utf16.data()), utf16.size()));
}

}  // namespace vorn::win32
