// Figures for provisioning and core readiness, printed beside baselines
// measured in the same run:
//   sha FILE ROUNDS            SHA-256 throughput of this tree's digest
//   ready ROUNDS               core_ready_cached cold and warm (Windows tree;
//                              the store follows ProgramData)
//   pipe CORE WINTUN ROUNDS    "provision_core" through the running helper's
//                              pipe beside reading, hashing and writing both
//                              files here (Windows tree)
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "bench/bench_timing.hpp"
#include "support/sha256.hpp"

#if defined(_WIN32)
#include "helper_engine/core_pins.hpp"
#include "helper_engine/store.hpp"
#include "platform/win32/system.hpp"
#include "platform/win32/windows_support.hpp"
#include "support/json.hpp"
#include "tests/support/counting_files.hpp"
#endif

namespace vorn::bench {
namespace {

std::string slurp(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

int bench_sha(const char* path, std::size_t rounds) {
  const std::string bytes = slurp(path);
  if (bytes.empty()) {
    std::fprintf(stderr, "provision_bench: cannot read %s\n", path);
    return 1;
  }
  const auto t = median_seconds({[&] { (void)sha256(bytes); }}, rounds);
  std::printf("sha256 %zu bytes: %.4f s, %.1f MB/s\n", bytes.size(), t[0], bytes.size() / t[0] / 1e6);
  return 0;
}

#if defined(_WIN32)

using testing::CountingFiles;

int bench_ready(std::size_t rounds) {
  platform::Platform& real = platform::win32_platform();
  CountingFiles files(real.files);
  platform::Platform os{files,         real.environment, real.random,  real.processes, real.services,
                        real.pipes,    real.console,     real.devices, real.ip_helper};
  CoreReadyCache warm;
  const bool ready = core_ready_cached(os, warm);
  // Counted separately, so that the warm calls' reads are their own.
  files.content_reads = files.metadata_reads = 0;
  const double cold = median_seconds({[&] {
                                        CoreReadyCache fresh;
                                        (void)core_ready_cached(os, fresh);
                                      }},
                                     rounds)[0];
  const std::size_t cold_reads = files.content_reads;
  files.content_reads = files.metadata_reads = 0;
  const double warm_s = median_seconds({[&] { (void)core_ready_cached(os, warm); }}, rounds)[0];
  std::printf("core_ready_cached: ready=%s\n", ready ? "true" : "false");
  std::printf("  cold: %.6f s per call, %.1f whole-file reads per call\n", cold,
              static_cast<double>(cold_reads) / rounds);
  std::printf("  warm: %.6f s per call, %.1f metadata queries and %.1f whole-file reads per call\n", warm_s,
              static_cast<double>(files.metadata_reads) / rounds, static_cast<double>(files.content_reads) / rounds);
  std::printf("  cold/warm: %.0fx\n", cold / warm_s);
  return 0;
}

std::string pipe_round_trip(const std::string& line) {
  win32::unique_hfile pipe;
  for (int i = 0; i < 200 && !pipe; ++i) {
    pipe.reset(::CreateFileW(L"\\\\.\\pipe\\vorn-helper", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                             nullptr));
    if (!pipe) ::WaitNamedPipeW(L"\\\\.\\pipe\\vorn-helper", 100);
  }
  if (!pipe) return "<no connection>";
  DWORD n = 0;
  if (!::WriteFile(pipe.get(), line.data(), static_cast<DWORD>(line.size()), &n, nullptr)) return "<write failed>";
  std::string reply;
  char buffer[4096];
  while (::ReadFile(pipe.get(), buffer, sizeof buffer, &n, nullptr) && n > 0) reply.append(buffer, n);
  return reply;
}

int bench_pipe(const char* core, const char* wintun, std::size_t rounds) {
  platform::Platform& os = platform::win32_platform();
  const auto token = read_token(os);
  if (!token) {
    std::fprintf(stderr, "provision_bench: no token in the store\n");
    return 1;
  }
  const std::string request =
      Json({{"token", *token}, {"request", {{"cmd", "provision_core"}, {"core_src", core}, {"wintun_src", wintun}}}})
          .dump() +
      "\n";
  const std::string scratch = helper_data_dir(os.environment) + "\\bench-baseline";
  (void)os.files.create_directories(scratch);
  bool all_ok = true;
  auto baseline = [&] {
    for (const char* source : {core, wintun}) {
      auto bytes = os.files.read_regular_file(source, 512ull << 20);
      all_ok = all_ok && bytes && sha256(*bytes).has_value();
      if (bytes) all_ok = all_ok && os.files.write_file(scratch + "\\copy.bin", *bytes).has_value();
    }
  };
  auto through_pipe = [&] {
    const std::string reply = pipe_round_trip(request);
    if (reply.find("\"provisioned\":true") == std::string::npos) {
      std::fprintf(stderr, "provision_bench: %s", reply.c_str());
      all_ok = false;
    }
  };
  const auto t = median_seconds({through_pipe, baseline}, rounds);
  std::printf("provision_core through the pipe: %.4f s\n", t[0]);
  std::printf("baseline (read + SHA-256 of both sources, write both): %.4f s\n", t[1]);
  std::printf("ratio: %.2f (goal: at most 1.5)\n", t[0] / t[1]);
  return all_ok ? 0 : 1;
}

#endif

}  // namespace
}  // namespace vorn::bench

int main(int argc, char** argv) {
  using namespace vorn::bench;
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "sha" && argc == 4) return bench_sha(argv[2], std::strtoul(argv[3], nullptr, 10));
#if defined(_WIN32)
  if (mode == "ready" && argc == 3) return bench_ready(std::strtoul(argv[2], nullptr, 10));
  if (mode == "pipe" && argc == 5) return bench_pipe(argv[2], argv[3], std::strtoul(argv[4], nullptr, 10));
#endif
  std::fprintf(stderr, "usage: provision_bench sha FILE ROUNDS | ready ROUNDS | pipe CORE WINTUN ROUNDS\n");
  return 2;
}
