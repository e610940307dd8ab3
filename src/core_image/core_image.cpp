#include "core_image/core_image.hpp"

#include <atomic>

#include "support/path_text.hpp"
#include "support/sha256.hpp"

namespace vorn {
namespace {

// Every write attempt of this process takes its own temporary name, so two
// attempts never write into one file.
std::atomic<std::uint64_t> PRIVATE_IMAGE_TMP_COUNTER{0};

bool image_holds(platform::FileSystem& files, const std::string& image, std::string_view bytes) {
  auto current = files.read_file(image);
  if (!current) return false;  // missing, refused or in use: write it anew
  auto wanted = sha256(bytes);
  auto found = sha256(*current);
  return wanted && found && *wanted == *found;
}

}  // namespace

std::string private_core_image_path(std::string_view core_path) {
  return with_file_name(core_path, PRIVATE_CORE_IMAGE_FILE);
}

Result<std::string> install_private_core_image(platform::Platform& platform, std::string_view core_path,
                                               std::string_view verified_bytes) {
  std::string image = private_core_image_path(core_path);
  if (image_holds(platform.files, image, verified_bytes)) return image;
  const std::uint64_t n = PRIVATE_IMAGE_TMP_COUNTER.fetch_add(1);
  const std::string temporary =
      with_extension(image, "exe." + std::to_string(platform.processes.current_pid()) + "-" + std::to_string(n) + ".tmp");
  Status done = platform.files.write_file(temporary, verified_bytes);
  if (!done) {
    done = fail(done.error().context("write private core runtime image"));
  } else {
    done = platform.files.rename_over(temporary, image);
    if (!done) done = fail(done.error().context("install private core runtime image"));
  }
  if (!done) {
    (void)platform.files.remove_file(temporary);
    return fail(std::move(done.error()));
  }
  return image;
}

std::string expected_core_executable(platform::FileSystem& files, std::string_view record_path,
                                     std::string_view core_path) {
  std::string image = private_core_image_path(core_path);
  auto record = read_proc_record(files, record_path);
  if (record && same_image_path(record->path, image)) return image;
  return std::string(core_path);
}

RecordOutcome stop_recorded_core(platform::Platform& platform, std::string_view record_path,
                                 std::string_view core_path, WaitSpan wait) {
  return teardown_recorded_process(platform, record_path, expected_core_executable(platform.files, record_path, core_path),
                                   wait);
}

Status guard_replacement_launch(platform::Platform& platform, std::string_view record_path,
                                std::string_view core_path) {
  const RecordOutcome outcome = ensure_recorded_process_gone(
      platform, record_path, expected_core_executable(platform.files, record_path, core_path));
  if (std::holds_alternative<record_outcome::Unconfirmed>(outcome)) {
    return fail(error_code_at_site(REPLACEMENT_GUARD_SITE));
  }
  return {};
}

std::vector<std::string> escape_code_fields(const std::vector<std::string>& fields) {
  std::vector<std::string> escaped;
  escaped.reserve(fields.size());
  for (const std::string& field : fields) {
    std::string out;
    out.reserve(field.size());
    for (char c : field) {
      if (c == '|') {
        out += "\xE2\x9D\x98";  // U+2758 LIGHT VERTICAL BAR
      } else if (c != '{' && c != '}') {
        out += c;
      }
    }
    escaped.push_back(std::move(out));
  }
  return escaped;
}

std::string format_error_code(std::string_view code, const std::vector<std::string>& fields) {
  std::string out(code);
  out += '{';
  bool first = true;
  for (const std::string& field : escape_code_fields(fields)) {
    if (!first) out += '|';
    out += field;
    first = false;
  }
  out += '}';
  return out;
}

std::string error_code_with_field(std::string_view code, std::string_view field) {
  return format_error_code(code, {std::string(field)});
}

std::string error_code_at_site(ErrorSite site) {
  return error_code_with_field(E_CORE_ORPHAN, "site=" + std::string(site.module) + "-" + std::to_string(site.number));
}

}  // namespace vorn
