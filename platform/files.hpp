// File-system operations the engine and the setup modes use. Paths are UTF-8
// text in the platform's own form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "support/error.hpp"

namespace vorn::platform {

struct FileMeta {
  std::uint64_t size = 0;
  std::uint64_t last_write = 0;  // platform ticks; only compared for equality
  bool is_directory = false;
  bool is_link = false;  // a symbolic link or junction
  std::uint32_t reparse_tag = 0;  // 0 when the entry is no reparse point
};

// A reparse point whose tag has this bit names another entry (a symbolic
// link, a junction, and any later kind of link), rather than keeping the
// entry's own data elsewhere as a cloud placeholder or a deduplicated file
// does.
constexpr std::uint32_t REPARSE_TAG_NAME_SURROGATE = 0x20000000u;
constexpr bool is_name_surrogate(std::uint32_t reparse_tag) {
  return (reparse_tag & REPARSE_TAG_NAME_SURROGATE) != 0;
}

// A file open for appending, closed when the object goes.
class AppendFile {
 public:
  virtual ~AppendFile() = default;
  // What the open handle names, read from the handle.
  virtual Result<FileMeta> metadata() = 0;
  // One write, placed at the end of the file.
  virtual Status append(std::string_view bytes) = 0;
};

// A file open for reading, closed when the object goes.
class FileReader {
 public:
  virtual ~FileReader() = default;
  // Up to `buffer.size()` bytes; 0 at the end.
  virtual Result<std::size_t> read(std::span<char> buffer) = 0;
};

// Whether a path names an existing entry; Unknown when the query itself
// failed for another reason than "not found".
enum class Presence { Present, Absent, Unknown };

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual Result<std::string> read_file(std::string_view path) = 0;
  // Creates or truncates.
  virtual Status write_file(std::string_view path, std::string_view bytes) = 0;
  virtual Status append_file(std::string_view path, std::string_view bytes) = 0;
  // Creates the folder and every missing ancestor.
  virtual Status create_directories(std::string_view path) = 0;
  // Moves `from` over `to`, replacing it.
  virtual Status rename_over(std::string_view from, std::string_view to) = 0;
  virtual Status remove_file(std::string_view path) = 0;
  // Metadata of the entry itself, not of a link's target.
  virtual Result<FileMeta> metadata(std::string_view path) = 0;
  // Size and last-write time of what the path finally names, links followed.
  virtual Result<FileMeta> target_metadata(std::string_view path) = 0;
  virtual Presence presence(std::string_view path) = 0;
  // The whole content of a regular file of at most `max_bytes`; a directory,
  // a pipe, a console or another device, or a larger file is refused with the
  // reason, before more than `max_bytes` are held.
  virtual Result<std::string> read_regular_file(std::string_view path, std::uint64_t max_bytes) = 0;
  virtual Result<std::unique_ptr<FileReader>> open_read(std::string_view path) = 0;
  // Opens for appending, creating it when missing, the entry the path names
  // itself: a reparse point is opened, not followed. Shared for reading,
  // writing and deletion, so that a reader holding the file does not keep a
  // line out.
  virtual Result<std::unique_ptr<AppendFile>> open_append(std::string_view path) = 0;
};

}  // namespace vorn::platform
