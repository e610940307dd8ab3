// The trusted store: where everything that outlives a run lies, the pipe token
// and the access lists of the protected entries. Paths are built anew from the
// environment at every call.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.hpp"

namespace vorn {

inline constexpr const char* PROGRAM_DATA_FALLBACK = "C:\\ProgramData";
inline constexpr const char* HELPER_TOKEN_FILE = "helper.token";
inline constexpr const char* ACTIVE_CONFIG_FILE = "active.json";
inline constexpr const char* TRUSTED_CORE_FILE = "sing-box.exe";
inline constexpr const char* WINTUN_FILE = "wintun.dll";

// Joins one path component, adding a separator unless `base` is empty or
// already ends in one.
std::string join_path(std::string_view base, std::string_view component);

std::string helper_data_dir(platform::Environment& env);
std::string core_dir(platform::Environment& env);
std::string trusted_core_path(platform::Environment& env);
std::string trusted_wintun_path(platform::Environment& env);
std::string core_record_path(platform::Environment& env);

// The icacls argument lists (after the program name).
std::vector<std::string> file_acl_arguments(const std::string& path);
std::vector<std::string> core_dir_acl_arguments(const std::string& path);

// Best effort: a failure to start icacls and its exit code are ignored.
void harden_file_acl(platform::Processes& processes, const std::string& path);
void harden_token_acl(platform::Platform& platform);
void harden_core_dir_acl(platform::Platform& platform);

// The trimmed token text, or nullopt when the file is missing, unreadable,
// not UTF-8 or blank.
std::optional<std::string> read_token(platform::Platform& platform);

// The token for this run: the stored one, or a fresh one that is written and
// protected on a best-effort basis. Never fails: if the random source fails
// too, nullopt, and no client can be authorised.
std::optional<std::string> load_or_create_token(platform::Platform& platform);

}  // namespace vorn
