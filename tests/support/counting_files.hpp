// A file system that forwards to another and counts what is read from it:
// whole contents apart from metadata, so that a check can show it answered
// from metadata alone.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/files.hpp"

namespace vorn::testing {

class CountingFiles final : public platform::FileSystem {
 public:
  explicit CountingFiles(platform::FileSystem& real) : real_(real) {}
  std::size_t content_reads = 0;
  std::size_t metadata_reads = 0;

  Result<std::string> read_file(std::string_view p) override {
    ++content_reads;
    return real_.read_file(p);
  }
  Result<std::unique_ptr<platform::FileReader>> open_read(std::string_view p) override {
    ++content_reads;
    return real_.open_read(p);
  }
  Result<std::string> read_regular_file(std::string_view p, std::uint64_t m) override {
    ++content_reads;
    return real_.read_regular_file(p, m);
  }
  Result<platform::FileMeta> target_metadata(std::string_view p) override {
    ++metadata_reads;
    return real_.target_metadata(p);
  }
  Status write_file(std::string_view p, std::string_view b) override { return real_.write_file(p, b); }
  Status append_file(std::string_view p, std::string_view b) override { return real_.append_file(p, b); }
  Status create_directories(std::string_view p) override { return real_.create_directories(p); }
  Status rename_over(std::string_view f, std::string_view t) override { return real_.rename_over(f, t); }
  Status remove_file(std::string_view p) override { return real_.remove_file(p); }
  Result<platform::FileMeta> metadata(std::string_view p) override { return real_.metadata(p); }
  platform::Presence presence(std::string_view p) override { return real_.presence(p); }
  Result<std::unique_ptr<platform::AppendFile>> open_append(std::string_view p) override {
    return real_.open_append(p);
  }

 private:
  platform::FileSystem& real_;
};

}  // namespace vorn::testing
