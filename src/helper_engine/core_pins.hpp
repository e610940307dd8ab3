// The one core build and the one Wintun library the helper runs, each fixed by
// its SHA-256 digest, and the readiness of the installed pair.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.hpp"
#include "support/error.hpp"

namespace vorn {

// 64 lower-case hex digits each. They are defined in core_pin_values.cpp, the
// only source compiled twice: once with the product's values, once (for the
// separately named test build) with values chosen when the tree is configured.
extern const std::string_view CORE_SHA256_PIN;
extern const std::string_view WINTUN_SHA256_PIN;

// "provision" or "launch".
Status verify_core_hash(std::string_view bytes, std::string_view stage);

// False for an unreadable or empty file, or another digest.
bool file_sha256_matches(platform::FileSystem& files, std::string_view path, std::string_view expected);

// Both installed files match their pins; the Wintun library is read only when
// the core matched.
bool core_files_trusted(platform::Platform& platform);

struct FileStamp {
  std::uint64_t len = 0;
  std::uint64_t modified = 0;  // last-write FILETIME value
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

// The target's stamp when the path is a link.
std::optional<FileStamp> file_stamp(platform::FileSystem& files, std::string_view path);

struct CoreReadyEntry {
  FileStamp core;
  FileStamp wintun;
  bool ready = false;
};

// One per process; its lock is held while both files are hashed, so that
// concurrent status requests hash them once.
struct CoreReadyCache {
  std::mutex lock;
  std::optional<CoreReadyEntry> entry;
};

CoreReadyCache& process_core_ready_cache();

// core_files_trusted, answered from the cache while both stamps are unchanged.
bool core_ready_cached(platform::Platform& platform, CoreReadyCache& cache);
bool core_ready_cached(platform::Platform& platform);

}  // namespace vorn
