#include "helper_engine/store.hpp"

#include "support/text.hpp"
#include "support/uuid.hpp"

namespace vorn {
namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }

std::string token_path(platform::Environment& env) { return join_path(helper_data_dir(env), HELPER_TOKEN_FILE); }

std::string parent_of(const std::string& path) {
  const auto cut = path.find_last_of("\\/");
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

}  // namespace

std::string join_path(std::string_view base, std::string_view component) {
  std::string out(base);
  if (!out.empty() && !is_separator(out.back())) out += '\\';
  out += component;
  return out;
}

std::string helper_data_dir(platform::Environment& env) {
  const std::optional<std::string> program_data = env.variable("ProgramData");
  return join_path(program_data ? *program_data : PROGRAM_DATA_FALLBACK, "Vorn");
}

std::string core_dir(platform::Environment& env) { return join_path(helper_data_dir(env), "core"); }

std::string trusted_core_path(platform::Environment& env) { return join_path(core_dir(env), TRUSTED_CORE_FILE); }

std::string trusted_wintun_path(platform::Environment& env) { return join_path(core_dir(env), WINTUN_FILE); }

std::string core_record_path(platform::Environment& env) { return join_path(core_dir(env), "sing-box.pid"); }

std::vector<std::string> file_acl_arguments(const std::string& path) {
  return {path, "/inheritance:r", "/grant:r", "*S-1-5-18:F", "/grant:r", "*S-1-5-32-544:F", "/grant:r", "*S-1-5-4:R"};
}

std::vector<std::string> core_dir_acl_arguments(const std::string& path) {
  return {path,       "/inheritance:r", "/grant:r", "*S-1-5-18:(OI)(CI)F", "/grant:r", "*S-1-5-32-544:(OI)(CI)F",
          "/grant:r", "*S-1-5-32-545:(OI)(CI)RX"};
}

void harden_file_acl(platform::Processes& processes, const std::string& path) {
  (void)processes.run_hidden("icacls", file_acl_arguments(path));
}

void harden_token_acl(platform::Platform& platform) { harden_file_acl(platform.processes, token_path(platform.environment)); }

void harden_core_dir_acl(platform::Platform& platform) {
  (void)platform.processes.run_hidden("icacls", core_dir_acl_arguments(core_dir(platform.environment)));
}

std::optional<std::string> read_token(platform::Platform& platform) {
  auto content = platform.files.read_file(token_path(platform.environment));
  if (!content || !text::is_valid_utf8(*content)) return std::nullopt;
  const std::string_view token = text::trim(*content);
  if (token.empty()) return std::nullopt;
  return std::string(token);
}

std::optional<std::string> load_or_create_token(platform::Platform& platform) {
  if (auto existing = read_token(platform)) return existing;
  auto uuid = new_uuid_v4(platform.random);
  if (!uuid) return std::nullopt;
  const std::string token = uuid->simple();
  const std::string path = token_path(platform.environment);
  (void)platform.files.create_directories(parent_of(path));
  (void)platform.files.write_file(path, token);
  harden_token_acl(platform);
  return token;
}

}  // namespace vorn
