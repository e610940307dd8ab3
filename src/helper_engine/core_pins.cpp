#include "helper_engine/core_pins.hpp"

#include <fmt/format.h>

#include "helper_engine/store.hpp"
#include "support/sha256.hpp"

namespace vorn {

Status verify_core_hash(std::string_view bytes, std::string_view stage) {
  auto digest = sha256_hex(bytes);
  if (!digest) return fail(digest.error().context(fmt::format("helper: core hash at {}", stage)));
  if (*digest != CORE_SHA256_PIN) {
    return fail(fmt::format("helper: core hash mismatch at {} (expected {}, got {})", stage, CORE_SHA256_PIN, *digest));
  }
  return {};
}

bool file_sha256_matches(platform::FileSystem& files, std::string_view path, std::string_view expected) {
  auto content = files.read_file(path);
  if (!content || content->empty()) return false;
  auto digest = sha256_hex(*content);
  return digest && *digest == expected;
}

bool core_files_trusted(platform::Platform& platform) {
  auto& env = platform.environment;
  return file_sha256_matches(platform.files, trusted_core_path(env), CORE_SHA256_PIN) &&
         file_sha256_matches(platform.files, trusted_wintun_path(env), WINTUN_SHA256_PIN);
}

std::optional<FileStamp> file_stamp(platform::FileSystem& files, std::string_view path) {
  auto meta = files.target_metadata(path);
  if (!meta) return std::nullopt;
  return FileStamp{meta->size, meta->last_write};
}

CoreReadyCache& process_core_ready_cache() {
  static CoreReadyCache cache;
  return cache;
}

bool core_ready_cached(platform::Platform& platform, CoreReadyCache& cache) {
  auto& env = platform.environment;
  const auto core = file_stamp(platform.files, trusted_core_path(env));
  const auto wintun = file_stamp(platform.files, trusted_wintun_path(env));
  std::lock_guard lock(cache.lock);
  if (!core || !wintun) {
    cache.entry.reset();
    return core_files_trusted(platform);
  }
  if (!cache.entry || cache.entry->core != *core || cache.entry->wintun != *wintun) {
    cache.entry = CoreReadyEntry{*core, *wintun, core_files_trusted(platform)};
  }
  return cache.entry->ready;
}

bool core_ready_cached(platform::Platform& platform) { return core_ready_cached(platform, process_core_ready_cache()); }

}  // namespace vorn
