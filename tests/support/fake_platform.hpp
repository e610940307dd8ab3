// In-memory fakes of the platform seam for native unit tests.
#pragma once

#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.hpp"

namespace vorn::testing {

class FakeFileSystem final : public platform::FileSystem {
 public:
  std::map<std::string, std::string> files;
  std::set<std::string> directories;
  std::set<std::string> unreadable;  // paths whose reads fail
  bool writes_fail = false;

  Result<std::string> read_file(std::string_view path) override {
    const std::string p(path);
    if (unreadable.count(p) || !files.count(p)) return fail(Error::os(2, "The system cannot find the file specified."));
    return files[p];
  }
  Status write_file(std::string_view path, std::string_view bytes) override {
    if (writes_fail) return fail(Error::os(5, "Access is denied."));
    files[std::string(path)] = std::string(bytes);
    return {};
  }
  Status append_file(std::string_view path, std::string_view bytes) override {
    if (writes_fail) return fail(Error::os(5, "Access is denied."));
    files[std::string(path)] += std::string(bytes);
    return {};
  }
  Status create_directories(std::string_view path) override {
    directories.insert(std::string(path));
    return {};
  }
  Status rename_over(std::string_view from, std::string_view to) override {
    auto it = files.find(std::string(from));
    if (it == files.end()) return fail(Error::os(2, "The system cannot find the file specified."));
    files[std::string(to)] = it->second;
    files.erase(it);
    return {};
  }
  Status remove_file(std::string_view path) override {
    files.erase(std::string(path));
    return {};
  }
  Result<platform::FileMeta> metadata(std::string_view path) override {
    const std::string p(path);
    if (directories.count(p)) return platform::FileMeta{0, 0, true, false};
    auto it = files.find(p);
    if (it == files.end()) return fail(Error::os(2, "The system cannot find the file specified."));
    return platform::FileMeta{it->second.size(), 0, false, false};
  }
};

class FakeEnvironment final : public platform::Environment {
 public:
  std::map<std::string, std::string> variables;
  std::vector<std::string> arguments{"vorn-helper.exe"};
  bool elevated = true;
  std::string temp = "C:\\Temp\\";

  std::optional<std::string> variable(std::string_view name) override {
    auto it = variables.find(std::string(name));
    if (it == variables.end()) return std::nullopt;
    return it->second;
  }
  std::vector<std::string> command_line() override { return arguments; }
  bool is_elevated() override { return elevated; }
  Result<std::string> temp_dir() override { return temp; }
};

// Counts up from a seed so that successive UUIDs differ.
class FakeRandom final : public platform::Random {
 public:
  std::uint8_t next = 1;
  bool fails = false;
  Status fill(std::span<std::uint8_t> out) override {
    if (fails) return fail("no entropy");
    for (auto& b : out) b = next++;
    return {};
  }
};

class FakeProcesses final : public platform::Processes {
 public:
  struct Call {
    std::string program;
    std::vector<std::string> args;
  };
  std::mutex lock;
  std::vector<Call> calls;
  bool start_fails = false;

  Result<platform::CapturedRun> run_hidden(const std::string& program, const std::vector<std::string>& args) override {
    std::lock_guard guard(lock);
    calls.push_back({program, args});
    if (start_fails) return fail(Error::os(2, "The system cannot find the file specified."));
    return platform::CapturedRun{0, "processed file"};
  }
  std::uint32_t current_pid() override { return 4242; }
  Result<std::vector<platform::ProcessEntry>> list_processes() override { return std::vector<platform::ProcessEntry>{}; }
};

class FakeServiceManager final : public platform::ServiceManager {
 public:
  Status dispatcher_result = fail(Error::os(1063, "The service process could not connect to the service controller.")
                                      .context("IO error in winapi call"));
  std::vector<platform::ServiceStatusReport> reports;

  Status run_dispatcher(const std::string&, std::function<void()>) override { return dispatcher_result; }
  Status register_control_handler(const std::string&, std::function<std::uint32_t(std::uint32_t)>) override { return {}; }
  Status report_status(const platform::ServiceStatusReport& report) override {
    reports.push_back(report);
    return {};
  }
  Status create_service(const platform::ServiceDefinition&) override { return fail("not faked"); }
  Status start_service(const std::string&) override { return fail("not faked"); }
  Status stop_service(const std::string&) override { return fail("not faked"); }
  Result<platform::ServiceProcessStatus> query_service(const std::string&) override { return fail("not faked"); }
  Status delete_service(const std::string&) override { return fail("not faked"); }
};

class FakePipes final : public platform::Pipes {
 public:
  Result<std::unique_ptr<platform::PipeSecurity>> security_descriptor(const std::string&) override {
    return fail("not faked");
  }
  Result<std::unique_ptr<platform::PipeInstance>> create_instance(const asio::any_io_executor&, const std::string&,
                                                                  const platform::PipeInstanceParams&,
                                                                  const platform::PipeSecurity&) override {
    return fail("not faked");
  }
};

struct FakePlatform {
  FakeFileSystem files;
  FakeEnvironment environment;
  FakeRandom random;
  FakeProcesses processes;
  FakeServiceManager services;
  FakePipes pipes;
  platform::Platform platform{files, environment, random, processes, services, pipes};
};

}  // namespace vorn::testing
