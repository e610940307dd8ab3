#include "helper_service/setup_log.hpp"

#include <chrono>

#include "helper_engine/store.hpp"

namespace vorn {

std::string format_setup_log_line(const std::tm& t, std::string_view message) {
  char stamp[32];
  const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &t);
  std::string line(stamp, n);
  line += ' ';
  line += message;
  line += '\n';
  return line;
}

void append_setup_log(platform::Platform& platform, std::string_view message) {
  auto temp = platform.environment.temp_dir();
  if (!temp) return;
  const std::string path = join_path(*temp, SETUP_LOG_FILE);
  // A link or junction planted at the log's name must not redirect an
  // elevated write, and the log must not grow without bound. The checks are
  // made on what was opened, so nothing can be swapped in between; a handle
  // that cannot be described is not written to.
  auto file = platform.files.open_append(path);
  if (!file) return;
  auto meta = (*file)->metadata();
  if (!meta || meta->is_directory || platform::is_name_surrogate(meta->reparse_tag) ||
      meta->size > SETUP_LOG_MAX_BYTES) {
    return;
  }
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  (void)(*file)->append(format_setup_log_line(local, message));
}

}  // namespace vorn
