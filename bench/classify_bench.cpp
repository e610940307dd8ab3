// The output classifiers on a realistic core log, beside a baseline that only
// lower-cases each line. Goal: each classifier at least 0.5 of the baseline's
// lines per second.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_timing.hpp"
#include "support/text.hpp"
#include "tun/core_output.hpp"

namespace {

// What the core prints while it runs: connection, DNS and routing lines in
// the thousands, a few warnings and errors (some in Russian, as the system
// reports them), and the failure lines the classifiers look for.
std::vector<std::string> core_log() {
  std::mt19937 rng(7);
  const auto n = [&](unsigned m) { return std::to_string(rng() % m); };
  std::vector<std::string> lines;
  for (int i = 0; i < 20000; ++i) {
    const std::string ts = "+0300 2025-06-11 14:" + n(60) + ":" + n(60) + " ";
    const std::string id = "[" + n(4000000000u) + " " + n(900) + "ms] ";
    switch (rng() % 20) {
      case 0:
        lines.push_back(ts + "ERROR " + id + "inbound/tun[tun-in]: process connection from 172.19.0.1:" + n(65535) +
                        ": dial tcp 203.0.113." + n(255) + ":443: i/o timeout");
        break;
      case 1:
        lines.push_back(ts + "WARN " + id + "outbound/vless[proxy]: Подключение не установлено, т.к. конечный компьютер отверг запрос на подключение.");
        break;
      case 2:
        lines.push_back(ts + "DEBUG dns: exchanged AAAA cdn-" + n(999) + ".example.net. 300 IN AAAA 2001:db8::" + n(9999));
        break;
      case 3:
        lines.push_back(ts + "INFO " + id + "router: match[" + n(40) + "] domain_suffix=[example.com] => route(proxy-" + n(99) + ")");
        break;
      default:
        lines.push_back(ts + "INFO " + id + "outbound/vless[proxy-" + n(99) + "]: outbound connection to www-" + n(9999) +
                        ".example.com:443");
        break;
    }
  }
  lines.push_back("FATAL[0000] start service: start inbound/tun[tun-in]: configure tun interface: set ipv4 address: Cannot create a file when that file already exists.");
  lines.push_back("FATAL[0000] start service: start inbound/tun[tun-in]: open existing adapter: Элемент не найден.");
  lines.push_back("FATAL[0000] start service: start inbound/tun[tun-in]: starting tun stack: listen tcp4 10.86.111.1:0: bind: The requested address is not valid in its context.");
  return lines;
}

}  // namespace

int main() {
  const std::vector<std::string> lines = core_log();
  std::size_t bytes = 0;
  for (const auto& line : lines) bytes += line.size();

  std::size_t hits = 0;
  const auto baseline = [&] {
    for (const auto& line : lines) vorn::bench::keep(vorn::text::to_lower(line));
  };
  const auto each = [&](bool (*predicate)(std::string_view)) {
    return [&hits, &lines, predicate] {
      for (const auto& line : lines) hits += predicate(line);
    };
  };
  // The output pumps' order: address first, then adapter, then bind.
  const auto pumps = [&] {
    for (const auto& line : lines) {
      hits += vorn::is_address_conflict_output(line) || vorn::is_adapter_conflict_output(line) ||
              vorn::is_tun_address_bind_failure(line);
    }
  };
  const auto t = vorn::bench::median_seconds(
      {baseline, each(vorn::is_address_conflict_output), each(vorn::is_adapter_conflict_output),
       each(vorn::is_tun_address_bind_failure), pumps},
      41);
  vorn::bench::keep(hits);

  const char* names[] = {"lower-case only (baseline)", "is_address_conflict_output", "is_adapter_conflict_output",
                         "is_tun_address_bind_failure", "all three, in the pumps' order"};
  std::printf("core log: %zu lines, %zu bytes (%.0f bytes a line)\n", lines.size(), bytes,
              static_cast<double>(bytes) / static_cast<double>(lines.size()));
  for (std::size_t i = 0; i < t.size(); ++i) {
    std::printf("%-32s %8.2f M lines/s   %.2f of baseline\n", names[i], static_cast<double>(lines.size()) / t[i] / 1e6, t[0] / t[i]);
  }
  std::printf("goal: each classifier >= 0.50 of baseline\n");
}
