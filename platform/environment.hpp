// The process's environment, command line, elevation and temporary folder.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/error.hpp"

namespace vorn::platform {

class Environment {
 public:
  virtual ~Environment() = default;
  // nullopt when the variable is absent or its value is not valid UTF-16.
  virtual std::optional<std::string> variable(std::string_view name) = 0;
  // The arguments as the system splits the command line, program path first;
  // invalid UTF-16 units become U+FFFD.
  virtual std::vector<std::string> command_line() = 0;
  virtual bool is_elevated() = 0;
  // The full path of the running executable.
  virtual Result<std::string> own_image_path() = 0;
  // CommandLineToArgvW of `line`; nullopt when the system cannot split it.
  virtual std::optional<std::vector<std::string>> split_command_line(std::string_view line) = 0;
  // GetTempPath2W where it exists, else GetTempPathW.
  virtual Result<std::string> temp_dir() = 0;
};

}  // namespace vorn::platform
