// The helper image record: the digests of the last helper executables that
// the installer ran, kept in the trusted store. Like the setup log, it never
// makes a setup mode fail.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.hpp"
#include "support/error.hpp"

namespace vorn {

inline constexpr const char* HELPER_IMAGE_RECORD_FILE = "helper.sha256";
inline constexpr std::size_t HELPER_IMAGE_RECORD_KEEP = 8;
inline constexpr std::size_t IMAGE_HASH_CHUNK_BYTES = 8192;

// The SHA-256 of a file's content as 64 lower-case hex digits, read in
// fixed chunks so that the executable is never held whole.
Result<std::string> sha256_file_hex(platform::FileSystem& files, std::string_view path);

// The lines of a record file: a line ends at a line feed, one carriage return
// before it is dropped, and a last line without a line feed counts when it is
// not empty.
struct RecordLines {
  std::string_view rest;
  std::optional<std::string_view> next();
};

// The next line that holds a digest, lower-cased; nullopt at the end. Lines
// in any other form are skipped.
std::optional<std::string> next_recorded_image_hash(RecordLines& lines);

// The record after `digest` is added: older entries kept in order, a repeat
// of `digest` moved to the end, at most HELPER_IMAGE_RECORD_KEEP lines.
std::string next_image_record(std::string_view existing, std::string_view digest);

void record_helper_image(platform::Platform& platform, std::string_view executable);

}  // namespace vorn
