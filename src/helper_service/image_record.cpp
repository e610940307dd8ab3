#include "helper_service/image_record.hpp"

#include <fmt/format.h>

#include <array>
#include <vector>

#include "helper_engine/store.hpp"
#include "helper_service/setup_log.hpp"
#include "support/hex.hpp"
#include "support/sha256.hpp"
#include "support/text.hpp"

namespace vorn {

Result<std::string> sha256_file_hex(platform::FileSystem& files, std::string_view path) {
  auto file = files.open_read(path);
  if (!file) return fail(std::move(file.error()));
  auto hash = Sha256Stream::create();
  if (!hash) return fail(std::move(hash.error()));
  std::array<char, IMAGE_HASH_CHUNK_BYTES> chunk;
  for (;;) {
    auto got = (*file)->read(chunk);
    if (!got) return fail(std::move(got.error()));
    if (*got == 0) break;
    if (auto fed = hash->update({chunk.data(), *got}); !fed) return fail(std::move(fed.error()));
  }
  auto digest = hash->finish();
  if (!digest) return fail(std::move(digest.error()));
  return to_hex(*digest);
}

std::optional<std::string_view> RecordLines::next() {
  if (rest.empty()) return std::nullopt;
  const std::size_t end = rest.find('\n');
  std::string_view line = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  if (line.ends_with('\r')) line.remove_suffix(1);
  return line;
}

std::optional<std::string> next_recorded_image_hash(RecordLines& lines) {
  constexpr std::string_view PREFIX = "sha256=";
  while (auto line = lines.next()) {
    if (!line->starts_with(PREFIX)) continue;
    std::string digest = text::to_lower_ascii(text::trim(line->substr(PREFIX.size())));
    const bool hex = digest.size() == 64 && digest.find_first_not_of("0123456789abcdef") == std::string::npos;
    if (hex) return digest;
  }
  return std::nullopt;
}

std::string next_image_record(std::string_view existing, std::string_view digest) {
  std::vector<std::string> kept;
  RecordLines lines{existing};
  while (auto recorded = next_recorded_image_hash(lines)) {
    // Earlier repeats go too, so that no digest is listed twice.
    if (*recorded == digest) continue;
    std::erase(kept, *recorded);
    kept.push_back(std::move(*recorded));
  }
  kept.emplace_back(digest);
  const std::size_t first = kept.size() > HELPER_IMAGE_RECORD_KEEP ? kept.size() - HELPER_IMAGE_RECORD_KEEP : 0;
  std::string content;
  for (std::size_t i = first; i < kept.size(); ++i) content += fmt::format("sha256={}\n", kept[i]);
  return content;
}

void record_helper_image(platform::Platform& platform, std::string_view executable) {
  const std::string folder = helper_data_dir(platform.environment);
  const std::string path = join_path(folder, HELPER_IMAGE_RECORD_FILE);
  auto digest = sha256_file_hex(platform.files, executable);
  if (!digest) {
    append_setup_log(platform, fmt::format("helper image record skipped: {}", digest.error().full()));
    return;
  }
  std::string existing;
  if (auto read = platform.files.read_file(path); read && text::is_valid_utf8(*read)) existing = std::move(*read);
  const std::string content = next_image_record(existing, *digest);
  // The write that follows tells whether the folder is usable.
  (void)platform.files.create_directories(folder);
  if (!platform.files.write_file(path, content)) {
    append_setup_log(platform, "helper image record could not be written");
    return;
  }
  harden_file_acl(platform.processes, path);
}

}  // namespace vorn
