// The core output pump on 50 MB of 100-byte lines from memory, beside a
// baseline that only splits the same chunks into lines. It tells the cost the
// pump adds per line apart from the pipe reads that the Wine figure includes.
#include <algorithm>
#include <cstdio>
#include <span>
#include <string>

#include "bench/bench_timing.hpp"
#include "helper_engine/core_process.hpp"

namespace {

class MemoryPipe : public vorn::platform::OutputPipe {
 public:
  explicit MemoryPipe(const std::string& bytes) : bytes_(bytes) {}
  vorn::Result<std::size_t> read(std::span<char> buffer) override {
    const std::size_t n = std::min(buffer.size(), bytes_.size() - at_);
    std::copy_n(bytes_.data() + at_, n, buffer.data());
    at_ += n;
    return n;
  }
  void stop_waiting() override {}

 private:
  const std::string& bytes_;
  std::size_t at_ = 0;
};

}  // namespace

int main() {
  std::string flood(50'000'000, 'x');
  for (std::size_t i = 99; i < flood.size(); i += 100) flood[i] = '\n';
  const double lines = static_cast<double>(flood.size() / 100);
  std::size_t counted = 0;
  const auto seconds = vorn::bench::median_seconds(
      {[&] {
         // The baseline: the same 8 KiB reads, each split at its line ends.
         MemoryPipe pipe(flood);
         char buffer[vorn::CORE_PIPE_READ_SIZE];
         for (;;) {
           const std::size_t got = *pipe.read(buffer);
           if (got == 0) break;
           counted += static_cast<std::size_t>(std::count(buffer, buffer + got, '\n'));
         }
       },
       [&] {
         vorn::SharedLog log;
         vorn::OutputWatch watch;
         MemoryPipe pipe(flood);
         vorn::pump_core_output("out", log, pipe, watch);
       }},
      5);
  vorn::bench::keep(counted);
  std::printf("split only: %.0f lines/s\npump:       %.0f lines/s\npump / split: %.2f\n", lines / seconds[0],
              lines / seconds[1], seconds[0] / seconds[1]);
}
