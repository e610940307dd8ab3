// Child processes: short helper programs run to completion, the proxy core,
// process identity for ownership proofs, and console control for stops.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/error.hpp"

namespace vorn::platform {

struct CapturedRun {
  std::uint32_t exit_code = 0;
  std::string output;  // standard output then standard error
};

// An entry of the system's process list.
struct ProcessEntry {
  std::uint32_t pid = 0;
  std::string exe_name;
};

// What can be learned about a running process, for ownership records.
struct ProcessIdentity {
  std::uint64_t created = 0;  // FILETIME ticks
  std::string image_path;
};

// A launched child whose handles the engine owns until its exit is confirmed.
class ChildProcess {
 public:
  virtual ~ChildProcess() = default;
  virtual std::uint32_t pid() const = 0;
};

class Processes {
 public:
  virtual ~Processes() = default;
  // Starts `program` by name without a window and without a shell, standard
  // input from the null device, output captured; waits for its end.
  virtual Result<CapturedRun> run_hidden(const std::string& program, const std::vector<std::string>& args) = 0;
  virtual std::uint32_t current_pid() = 0;
  virtual Result<std::vector<ProcessEntry>> list_processes() = 0;
};

}  // namespace vorn::platform
