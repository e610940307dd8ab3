// Sanitizing and rendering a large client configuration, beside the JSON
// library parsing and pretty-printing the same text. Goal: a ratio of at most
// 1.5.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/bench_timing.hpp"
#include "helper_engine/sanitize_core_config.hpp"
#include "support/json.hpp"
#include "tun/launch_config.hpp"

namespace {

using vorn::Json;

// About 1 MB: thousands of outbounds and route rules of the kinds a client
// sends, with the inbounds and rules the sanitizer rewrites.
std::string large_config() {
  Json outbounds = Json::array();
  Json rules = Json::array({{{"action", "sniff"}}, {{"protocol", "dns"}, {"action", "hijack-dns"}}});
  for (int i = 0; i < 2500; ++i) {
    const std::string n = std::to_string(i);
    outbounds.push_back({{"type", "vless"},
                         {"tag", "proxy-" + n},
                         {"server", "node-" + n + ".example.net"},
                         {"server_port", 443},
                         {"uuid", "6f1c2d3e-4b5a-4c7d-8e9f-" + std::string(12 - n.size(), '0') + n},
                         {"flow", "xtls-rprx-vision"},
                         {"tls", {{"enabled", true}, {"server_name", "cdn-" + n + ".example.org"},
                                  {"utls", {{"enabled", true}, {"fingerprint", "chrome"}}}}},
                         {"multiplex", {{"enabled", i % 2 == 0}, {"max_streams", 8}, {"padding", false}}}});
    rules.push_back({{"domain_suffix", {"svc-" + n + ".example.com", "api-" + n + ".example.com"}},
                     {"ip_cidr", {"10." + std::to_string(i % 256) + "." + std::to_string(i / 256) + ".0/24"}},
                     {"port", Json::array({80, 443})},
                     {"outbound", "proxy-" + n}});
  }
  Json excludes = Json::array();
  for (int i = 0; i < 64; ++i) excludes.push_back("192.168." + std::to_string(i) + ".17/24");
  const Json config = {
      {"log", {{"level", "info"}, {"timestamp", true}}},
      {"dns", {{"servers", Json::array({{{"tag", "remote"}, {"address", "tls://1.1.1.1"}}})}}},
      {"inbounds", Json::array({{{"type", "tun"}, {"mtu", 1500}, {"stack", "gvisor"}, {"route_exclude_address", excludes}},
                                {{"type", "mixed"}, {"tag", "vorn-user-proxy"}, {"listen", "127.0.0.1"}, {"listen_port", 2080}}})},
      {"outbounds", outbounds},
      {"route", {{"final", "proxy-0"}, {"rules", rules}}},
  };
  return config.dump();
}

}  // namespace

int main() {
  const std::string text = large_config();
  const auto plain = [&] {
    const std::string out = Json::parse(text).dump(2);
    vorn::bench::keep(out);
  };
  const auto ours = [&] {
    const auto sanitized = vorn::sanitize_core_config(text, true);
    if (!sanitized) std::abort();
    const auto out = vorn::render_launch_config(*sanitized, "Vorn-1a2b3c", 0);
    if (!out) std::abort();
    vorn::bench::keep(*out);
  };
  const auto sanitize_only = [&] {
    const auto sanitized = vorn::sanitize_core_config(text, true);
    vorn::bench::keep(sanitized);
  };
  const Json stored = *vorn::sanitize_core_config(text, true);
  const auto render_only = [&] {
    const auto out = vorn::render_launch_config(stored, "Vorn-1a2b3c", 0);
    vorn::bench::keep(out);
  };
  const auto t = vorn::bench::median_seconds({plain, ours, sanitize_only, render_only}, 31);
  std::printf("configuration: %zu bytes\n", text.size());
  std::printf("library parse + pretty dump:          %8.2f ms\n", t[0] * 1e3);
  std::printf("sanitize_core_config + render:        %8.2f ms\n", t[1] * 1e3);
  std::printf("  sanitize_core_config alone:         %8.2f ms\n", t[2] * 1e3);
  std::printf("  render_launch_config alone:         %8.2f ms\n", t[3] * 1e3);
  std::printf("ratio (goal <= 1.5):                  %8.2f\n", t[1] / t[0]);
}
