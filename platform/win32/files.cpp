#include <cwctype>
#include <optional>
#include <memory>
#include <vector>

#include "platform/files.hpp"
#include "platform/win32/path_root.hpp"
#include "platform/win32/system.hpp"
#include "platform/win32/windows_support.hpp"

namespace vorn::platform {
namespace {

using win32::last_error;
using win32::wide;

// ReadFile and WriteFile take a DWORD count.
constexpr DWORD CHUNK_BYTES = 1u << 20;

Status write_all(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), CHUNK_BYTES));
    DWORD written = 0;
    if (!::WriteFile(file, bytes.data(), want, &written, nullptr)) return fail(last_error());
    bytes.remove_prefix(written);
  }
  return {};
}

Status write_with(std::string_view path, DWORD access, DWORD share, DWORD disposition, std::string_view bytes) {
  win32::unique_hfile file(
      ::CreateFileW(wide(path).c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return fail(last_error());
  return write_all(file.get(), bytes);
}

bool is_existing_directory(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::size_t trimmed_end(std::wstring_view path, std::size_t end, std::size_t root) {
  while (end > root && win32::is_separator(path[end - 1])) --end;
  return end;
}

// The end of the parent of path[0, end), its trailing separators dropped.
std::size_t parent_end(std::wstring_view path, std::size_t end, std::size_t root) {
  while (end > root && !win32::is_separator(path[end - 1])) --end;
  return trimmed_end(path, end, root);
}

std::uint64_t join(DWORD high, DWORD low) { return (std::uint64_t{high} << 32) | low; }

// WIN32_FILE_ATTRIBUTE_DATA and BY_HANDLE_FILE_INFORMATION name these fields
// alike.
template <class Info>
FileMeta meta_of(const Info& info) {
  FileMeta meta;
  meta.size = join(info.nFileSizeHigh, info.nFileSizeLow);
  meta.last_write = join(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime);
  meta.is_directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return meta;
}

class WindowsFileReader final : public FileReader {
 public:
  explicit WindowsFileReader(win32::unique_hfile file) : file_(std::move(file)) {}

  Result<std::size_t> read(std::span<char> buffer) override {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), CHUNK_BYTES));
    DWORD got = 0;
    if (!::ReadFile(file_.get(), buffer.data(), want, &got, nullptr)) return fail(last_error());
    return std::size_t{got};
  }

 private:
  win32::unique_hfile file_;
};

class WindowsAppendFile final : public AppendFile {
 public:
  explicit WindowsAppendFile(win32::unique_hfile file) : file_(std::move(file)) {}

  Result<FileMeta> metadata() override {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file_.get(), &info)) return fail(last_error());
    FileMeta meta = meta_of(info);
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      FILE_ATTRIBUTE_TAG_INFO tag{};
      if (!::GetFileInformationByHandleEx(file_.get(), FileAttributeTagInfo, &tag, sizeof tag)) {
        return fail(last_error());
      }
      meta.reparse_tag = static_cast<std::uint32_t>(tag.ReparseTag);
      meta.is_link = is_name_surrogate(meta.reparse_tag);
    }
    return meta;
  }

  Status append(std::string_view bytes) override { return write_all(file_.get(), bytes); }

 private:
  win32::unique_hfile file_;
};

bool starts_with_folded(std::wstring_view text, std::wstring_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (::towlower(text[i]) != ::towlower(prefix[i])) return false;
  }
  return true;
}

// A path in the \\.\ or \\?\ namespace that does not lead to a drive or a share
// names a device or a pipe (\\.\pipe\x, \\.\PhysicalDrive0, \\?\GLOBALROOT\...):
// opening it may connect to a server or read a raw disk.
bool names_device_namespace(std::wstring_view path) {
  // "\??\" hands the rest to the object manager as it is, like "\\?\".
  const bool nt_prefix = path.size() >= 4 && win32::is_separator(path[0]) && path[1] == L'?' && path[2] == L'?' &&
                         win32::is_separator(path[3]);
  if (!nt_prefix && (path.size() < 4 || !win32::is_separator(path[0]) || !win32::is_separator(path[1]) ||
                     (path[2] != L'.' && path[2] != L'?') || !win32::is_separator(path[3]))) {
    return false;
  }
  std::wstring_view rest = path.substr(4);
  const bool drive = rest.size() >= 3 && ::iswalpha(rest[0]) && rest[1] == L':' && win32::is_separator(rest[2]);
  const bool share = rest.size() >= 4 && starts_with_folded(rest, L"UNC") && win32::is_separator(rest[3]);
  const bool volume = starts_with_folded(rest, L"Volume{");
  return !(drive || share || volume);
}

// \\server\pipe\x and \\?\UNC\server\pipe\x name a pipe on a server (this
// machine too, as \\localhost\pipe\x).
bool names_remote_pipe(std::wstring_view path) {
  std::size_t start = 0;
  if (starts_with_folded(path, L"\\\\?\\UNC\\") || starts_with_folded(path, L"//?/UNC/")) {
    start = 8;
  } else if (path.size() >= 2 && win32::is_separator(path[0]) && win32::is_separator(path[1])) {
    start = 2;
  } else {
    return false;
  }
  std::size_t server_end = start;
  while (server_end < path.size() && !win32::is_separator(path[server_end])) ++server_end;
  if (server_end == path.size()) return false;
  const std::wstring_view share = path.substr(server_end + 1);
  return starts_with_folded(share, L"pipe") && (share.size() == 4 || win32::is_separator(share[4]));
}

std::unexpected<Error> not_regular(const char* what) {
  return fail(std::string("the path names ") + what + ", not a regular file");
}

// A path the client names is opened as SYSTEM. Whatever it reaches, a named
// pipe behind a junction or a mount point included, may at most identify the
// helper at the open: with this quality of service the pipe's server cannot
// impersonate SYSTEM.
constexpr DWORD CLIENT_PATH_QOS = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

// What a client-named path names, through a handle that can read nothing
// (folders open too); an attribute query by path would open it without the
// quality of service. Nothing when it cannot be opened so: the read's own
// open then reports why.
std::optional<Error> refusal_before_reading(const std::wstring& name) {
  win32::unique_hfile probe(::CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | CLIENT_PATH_QOS, nullptr));
  if (!probe) return std::nullopt;
  const DWORD type = ::GetFileType(probe.get());
  if (type == FILE_TYPE_PIPE) return not_regular("a pipe").error();
  if (type != FILE_TYPE_DISK) return not_regular("a device or a pipe").error();
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(probe.get(), &info)) return std::nullopt;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return not_regular("a directory").error();
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0) return not_regular("a device or a pipe").error();
  return std::nullopt;
}

std::unexpected<Error> too_large(std::uint64_t max_bytes) {
  return fail("the file is larger than " + std::to_string(max_bytes) + " bytes");
}

class WindowsFileSystem final : public FileSystem {
 public:
  Result<std::string> read_file(std::string_view path) override {
    win32::unique_hfile file(::CreateFileW(wide(path).c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return fail(last_error());
    std::string bytes;
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(file.get(), &size)) bytes.reserve(static_cast<std::size_t>(size.QuadPart));
    for (;;) {
      const std::size_t done = bytes.size();
      bytes.resize(done + CHUNK_BYTES);
      DWORD got = 0;
      if (!::ReadFile(file.get(), bytes.data() + done, CHUNK_BYTES, &got, nullptr)) return fail(last_error());
      bytes.resize(done + got);
      if (got == 0) return bytes;
    }
  }

  Status write_file(std::string_view path, std::string_view bytes) override {
    return write_with(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, bytes);
  }

  // Append-only access makes the system place every write at the end, even
  // with another writer on the file.
  Status append_file(std::string_view path, std::string_view bytes) override {
    return write_with(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS, bytes);
  }

  // Bottom up, so that ancestors that exist (the drive, the share, folders the
  // caller may not write to) are never touched.
  Status create_directories(std::string_view path) override {
    std::wstring target = wide(path);
    const std::size_t root = win32::path_root_length(target);
    std::size_t end = trimmed_end(target, target.size(), root);
    // A bare root (or nothing at all) can only be there already.
    if (end <= root) {
      if (is_existing_directory(target)) return {};
      return fail(win32::os_error(ERROR_PATH_NOT_FOUND));
    }
    std::vector<std::size_t> missing;
    DWORD error = ERROR_SUCCESS;
    for (;;) {
      if (end <= root) return fail(win32::os_error(error));
      const std::wstring prefix = target.substr(0, end);
      if (::CreateDirectoryW(prefix.c_str(), nullptr)) break;
      error = ::GetLastError();
      if (is_existing_directory(prefix)) break;
      if (error != ERROR_PATH_NOT_FOUND) return fail(win32::os_error(error));
      missing.push_back(end);
      end = parent_end(target, end, root);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
      const std::wstring prefix = target.substr(0, *it);
      if (::CreateDirectoryW(prefix.c_str(), nullptr)) continue;
      const DWORD code = ::GetLastError();
      // Another process may have created it meanwhile.
      if (!is_existing_directory(prefix)) return fail(win32::os_error(code));
    }
    return {};
  }

  Status rename_over(std::string_view from, std::string_view to) override {
    if (!::MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING)) return fail(last_error());
    return {};
  }

  Status remove_file(std::string_view path) override {
    if (!::DeleteFileW(wide(path).c_str())) return fail(last_error());
    return {};
  }

  // GetFileAttributesExW describes a link itself; only the reparse tag, which
  // FindFirstFileW reports, tells a link or junction (a name surrogate) from
  // other reparse points (cloud placeholders, deduplicated files).
  Result<FileMeta> metadata(std::string_view path) override {
    const std::wstring name = wide(path);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data)) return fail(last_error());
    FileMeta meta = meta_of(data);
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      WIN32_FIND_DATAW found{};
      win32::unique_hfind search(::FindFirstFileW(name.c_str(), &found));
      if (!search) return fail(last_error());
      meta.reparse_tag = static_cast<std::uint32_t>(found.dwReserved0);
      meta.is_link = is_name_surrogate(meta.reparse_tag);
    }
    return meta;
  }

  // "status" asks this twice per request. A path that is no reparse point
  // names its own target, and the attribute query answers for it without a
  // handle; only links pay for opening their final target.
  Result<FileMeta> target_metadata(std::string_view path) override {
    const std::wstring name = wide(path);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data)) return fail(last_error());
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return meta_of(data);
    // Opening without the reparse flag lands on the link's final target.
    win32::unique_hfile file(::CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file) return fail(last_error());
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file.get(), &info)) return fail(last_error());
    return meta_of(info);
  }

  Presence presence(std::string_view path) override {
    if (::GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES) return Presence::Present;
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Presence::Absent;
    return Presence::Unknown;
  }

  // The checks come before the first read so that a pipe or a device is never
  // read from; the read itself stops past the limit in case the size lied
  // (a raw volume reports none).
  Result<std::string> read_regular_file(std::string_view path, std::uint64_t max_bytes) override {
    const std::wstring name = wide(path);
    if (names_device_namespace(name) || names_remote_pipe(name)) return not_regular("a device or a pipe");
    if (auto refused = refusal_before_reading(name)) return fail(std::move(*refused));
    win32::unique_hfile file(::CreateFileW(name.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | CLIENT_PATH_QOS, nullptr));
    if (!file) return fail(last_error());
    const DWORD type = ::GetFileType(file.get());
    if (type == FILE_TYPE_PIPE) return not_regular("a pipe");
    if (type != FILE_TYPE_DISK) return not_regular("a device or a pipe");
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file.get(), &info)) return fail(last_error());
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return not_regular("a directory");
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0) return not_regular("a device or a pipe");
    const std::uint64_t size = join(info.nFileSizeHigh, info.nFileSizeLow);
    if (size > max_bytes) return too_large(max_bytes);
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(size));
    for (;;) {
      const std::size_t done = bytes.size();
      const std::uint64_t room = max_bytes + 1 - done;  // one byte more shows a file that grew
      const DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(room, CHUNK_BYTES));
      bytes.resize(done + want);
      DWORD got = 0;
      if (!::ReadFile(file.get(), bytes.data() + done, want, &got, nullptr)) return fail(last_error());
      bytes.resize(done + got);
      if (bytes.size() > max_bytes) return too_large(max_bytes);
      if (got == 0) return bytes;
    }
  }

  Result<std::unique_ptr<FileReader>> open_read(std::string_view path) override {
    win32::unique_hfile file(::CreateFileW(wide(path).c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return fail(last_error());
    return std::make_unique<WindowsFileReader>(std::move(file));
  }

  // Append-only access places every write at the end, even with another
  // writer on the file; attribute access lets the caller describe what it
  // opened.
  Result<std::unique_ptr<AppendFile>> open_append(std::string_view path) override {
    win32::unique_hfile file(::CreateFileW(wide(path).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                           nullptr));
    if (!file) return fail(last_error());
    return std::make_unique<WindowsAppendFile>(std::move(file));
  }
};

}  // namespace

FileSystem& win32_file_system() {
  static WindowsFileSystem files;
  return files;
}

}  // namespace vorn::platform
