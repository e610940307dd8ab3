#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "helper_engine/sanitize_core_config.hpp"
#include "routing/json_equal.hpp"
#include "support/matchers.hpp"
#include "tun/launch_config.hpp"
#include "tun/tun_settings.hpp"

namespace vorn {
namespace {

using testing::FailsExactly;
using testing::FailsWith;
using testing::Succeeds;

constexpr const char* kNotJson = "helper: config is not valid JSON";

const std::string kTun = R"({"address":["10.86.111.1/30","fd56:6f72:6e00::1/126"],"auto_route":true,"mtu":9000,)"
                         R"("route_address":["0.0.0.0/1","128.0.0.0/1","::/1","8000::/1"],"stack":"system",)"
                         R"("strict_route":false,"tag":"tun-in","type":"tun"})";
const std::string kRules = R"([{"action":"sniff"},{"action":"hijack-dns","protocol":"dns"}])";

// The sanitized value in compact form (which keeps 1500 and 1500.0 apart), or
// the error's full text.
std::string sanitized(const std::string& config, bool kill_switch = false) {
  const auto r = sanitize_core_config(config, kill_switch);
  return r ? r->dump() : "error: " + r.error().full();
}

TEST(SanitizeCoreConfig, EmptyObjectGetsTheSystemsInboundAndRoute) {
  EXPECT_EQ(sanitized("{}"), R"({"inbounds":[)" + kTun + R"(],"route":{"auto_detect_interface":true,"rules":)" + kRules + "}}");
  const auto on = sanitize_core_config("{}", true);
  ASSERT_THAT(on, Succeeds());
  EXPECT_EQ((*on)["inbounds"][0]["strict_route"], true);
  EXPECT_EQ((*on)["inbounds"][0]["auto_route"], true);
}

TEST(SanitizeCoreConfig, RefusesTextThatIsNotOneValue) {
  for (const char* text : {"", " ", "{", R"({"a":1)", R"({} {})", R"({}x)", R"({}])", "{}\f", "{}\v", "\f{}", "{}\xc2\xa0", "\xef\xbb\xbf{}",
                           "{\xef\xbb\xbf}", "\xef\xbb{}", R"({"a":1,})", R"({'a':1})", R"({"a":01})", R"({"a":NaN})", R"({"a":1e999})",
                           "{\"a\":\"\xff\"}", "{/*c*/}"}) {
    EXPECT_THAT(sanitize_core_config(text, false), FailsWith(std::string(kNotJson) + ": ")) << text;
  }
  // The parser library stops at a NUL byte as if the input ended there.
  for (const std::string& text : {std::string("{}\0", 3), std::string("{}\0{", 4), std::string("{\"a\":1}\0 garbage", 15),
                                 std::string("{\"a\0\":1}", 9)}) {
    EXPECT_THAT(sanitize_core_config(text, false), FailsWith(kNotJson)) << text;
  }
  // The cause is the parser's own account of the fault.
  EXPECT_THAT(sanitize_core_config(R"({"a":1)", false), FailsWith("parse error at line 1, column 7"));
  // Only the four JSON white-space bytes may surround the value.
  EXPECT_THAT(sanitize_core_config(" \t\r\n{} \t\r\n", false), Succeeds());
}

std::string nested(std::size_t levels) {
  std::string text;
  for (std::size_t i = 0; i < levels; ++i) text += i % 2 ? "[" : R"({"k":)";
  text += "1";
  for (std::size_t i = levels; i-- > 0;) text += i % 2 ? "]" : "}";
  return text;
}

TEST(SanitizeCoreConfig, Allows127NestedLevelsAndNoMore) {
  EXPECT_THAT(sanitize_core_config(nested(127), false), Succeeds());
  EXPECT_THAT(sanitize_core_config(nested(128), false), FailsWith(kNotJson));
  EXPECT_THAT(sanitize_core_config(std::string(100000, '['), false), FailsWith(kNotJson));
  // Closing levels makes room again.
  EXPECT_THAT(sanitize_core_config(R"({"a":)" + nested(126) + R"(,"b":)" + nested(126) + "}", false), Succeeds());
}

TEST(SanitizeCoreConfig, RefusesARootThatIsNotAnObject) {
  for (const char* text : {"[]", "null", "5", R"("{}")", "true", "[{}]"}) {
    EXPECT_THAT(sanitize_core_config(text, false), FailsExactly("helper: config root is not an object")) << text;
  }
}

TEST(SanitizeCoreConfig, RepeatedKeyTakesItsLastValue) {
  const auto r = sanitize_core_config(R"({"log":{"level":"info"},"x":1,"log":{"level":"debug"},"x":[2]})", false);
  ASSERT_THAT(r, Succeeds());
  EXPECT_EQ((*r)["log"].dump(), R"({"level":"debug"})");
  EXPECT_EQ((*r)["x"].dump(), "[2]");
}

TEST(SanitizeCoreConfig, KeepsEverythingElseWithNumberKindsAndSortedKeys) {
  const std::string config =
      R"({"z":{"b":1500.0,"a":1500,"c":-7,"d":18446744073709551615,"e":1e-7,"f":-0.0,"g":"\u00e9\ud83d\ude00\n"},)"
      R"("outbounds":[{"type":"direct","tag":"direct"}],"route":{"final":"proxy","auto_detect_interface":false,"rule_set":[]}})";
  EXPECT_EQ(sanitized(config),
            R"({"inbounds":[)" + kTun + R"(],"outbounds":[{"tag":"direct","type":"direct"}],)"
            R"("route":{"auto_detect_interface":true,"final":"proxy","rule_set":[],"rules":)" + kRules + "},"
            R"("z":{"a":1500,"b":1500.0,"c":-7,"d":18446744073709551615,"e":1e-07,"f":-0.0,"g":"é😀\n"}})");
}

TEST(SanitizeCoreConfig, ReplacesEveryClientInbound) {
  const std::string config = R"({"inbounds":[{"type":"mixed","tag":"m","listen_port":2080},{"type":"socks","tag":"s"},)"
                             R"({"type":"tun","tag":"t","mtu":1500,"stack":"gvisor","inet4_address":"172.19.0.1/30",)"
                             R"("route_exclude_address":["192.168.1.77/24"],"strict_route":true}]})";
  const auto r = sanitize_core_config(config, false);
  ASSERT_THAT(r, Succeeds());
  const Json& inbounds = (*r)["inbounds"];
  ASSERT_EQ(inbounds.size(), 1u);
  EXPECT_EQ(inbounds[0]["mtu"], 1500);
  EXPECT_EQ(inbounds[0]["stack"], "gvisor");
  EXPECT_EQ(inbounds[0]["strict_route"], false);
  EXPECT_EQ(inbounds[0]["tag"], "tun-in");
  EXPECT_EQ(inbounds[0]["route_exclude_address"].dump(), R"(["192.168.1.0/24"])");
  EXPECT_FALSE(inbounds[0].contains("inet4_address"));

  for (const char* other : {R"({"inbounds":{"type":"tun","mtu":1500}})", R"({"inbounds":"x"})", R"({"inbounds":[]})"}) {
    EXPECT_EQ(sanitized(other).substr(0, 13 + kTun.size()), R"({"inbounds":[)" + kTun) << other;
  }
}

const std::string kProxy = R"({"tag":"vorn-user-proxy","type":"mixed","listen":"127.0.0.1","listen_port":2080,"sniff":true})";
const std::string kRebuilt = R"({"listen":"127.0.0.1","listen_port":2080,"tag":"vorn-user-proxy","type":"mixed"})";

TEST(SanitizeCoreConfig, PlacesTheUserProxySecond) {
  for (const std::string& inbounds : {"[" + kProxy + "]", R"([{"type":"tun"},1,)" + kProxy + R"(,{"type":"socks"}])",
                                     R"([{"tag":"Vorn-User-Proxy","type":"mixed"},)" + kProxy + "]"}) {
    const auto r = sanitize_core_config(R"({"inbounds":)" + inbounds + "}", false);
    ASSERT_THAT(r, Succeeds()) << inbounds;
    ASSERT_EQ((*r)["inbounds"].size(), 2u) << inbounds;
    EXPECT_EQ((*r)["inbounds"][1].dump(), kRebuilt) << inbounds;
  }
}

TEST(SanitizeCoreConfig, PassesProxyErrorsOnUnchanged) {
  const std::string bad_port = R"({"tag":"vorn-user-proxy","type":"mixed","listen":"127.0.0.1","listen_port":9090})";
  const std::string bad_users = R"({"tag":"vorn-user-proxy","type":"mixed","listen":"127.0.0.1","listen_port":2080,"users":[]})";
  EXPECT_EQ(sanitized(R"({"inbounds":[)" + bad_port + "]}"), "error: helper: invalid user loopback proxy");
  EXPECT_EQ(sanitized(R"({"inbounds":[)" + bad_users + "]}"), "error: invalid proxy credentials");
  EXPECT_EQ(sanitized(R"({"inbounds":[)" + kProxy + "," + kProxy + "]}"), "error: helper: duplicate user proxy");
  // Inbounds are checked in order: a bad one after a good one still ends the sanitizer.
  EXPECT_EQ(sanitized(R"({"inbounds":[)" + kProxy + "," + bad_port + "]}"), "error: helper: invalid user loopback proxy");
  EXPECT_EQ(sanitized(R"({"inbounds":[)" + bad_users + "," + kProxy + "]}"), "error: invalid proxy credentials");
}

TEST(SanitizeCoreConfig, RouteSection) {
  struct Case {
    std::string config, route;
  } cases[] = {
      {R"({"route":"direct"})", R"("direct")"},
      {R"({"route":null})", "null"},
      {R"({"route":[{"action":"sniff"}]})", R"([{"action":"sniff"}])"},
      {R"({"route":{"auto_detect_interface":false}})", R"({"auto_detect_interface":true,"rules":)" + kRules + "}"},
      {R"({"route":{"auto_detect_interface":"no","rules":[{"outbound":"a"},{"action":"sniff","sniffer":["dns"]}]}})",
       R"({"auto_detect_interface":true,"rules":[{"action":"sniff","sniffer":["dns"]},)"
       R"({"action":"hijack-dns","protocol":"dns"},{"outbound":"a"}]})"},
  };
  for (const auto& c : cases) {
    const auto r = sanitize_core_config(c.config, false);
    ASSERT_THAT(r, Succeeds()) << c.config;
    EXPECT_EQ((*r)["route"].dump(), c.route) << c.config;
  }
}

// A small random configuration from the parts the sanitizer treats specially.
std::string random_config(std::mt19937& rng) {
  const auto pick = [&](std::initializer_list<std::string> options) {
    return std::string(options.begin()[std::uniform_int_distribution<std::size_t>(0, options.size() - 1)(rng)]);
  };
  std::string inbounds = "[";
  const int count = std::uniform_int_distribution<int>(0, 4)(rng);
  bool proxy = false;
  for (int i = 0; i < count; ++i) {
    if (i > 0) inbounds += ",";
    if (!proxy && rng() % 4 == 0) {
      proxy = true;
      inbounds += R"({"tag":"vorn-user-proxy","type":"mixed","listen":"127.0.0.1","listen_port":)" + pick({"1024", "2080", "65535"}) +
                  pick({"", R"(,"users":[{"username":"ü","password":"p\"q"}])"}) + "}";
      continue;
    }
    inbounds += R"({"type":)" + pick({R"("tun")", R"("mixed")", "1"}) + R"(,"mtu":)" + pick({"1500", "1500.0", "1280", "7"}) +
                R"(,"stack":)" + pick({R"("gvisor")", R"("mixed")", R"("System")"}) + R"(,"route_exclude_address":[)" +
                pick({"", R"("10.1.2.3/8")", R"("fe80::1"," 2001:DB8::7/32 ","::ffff:1.2.3.4/100",3)"}) + "]}";
  }
  inbounds += "]";
  const std::string rules = pick({"[]", R"([{"action":"sniff","sniffer":["dns"]}])", R"([{"outbound":"a"},{"action":"sniff"}])",
                                  R"([{"protocol":["dns"],"action":"hijack-dns"},{"action":"sniff","x":1}])", R"("x")"});
  const std::string route = pick({"", R"(,"route":{"rules":)" + rules + R"(,"final":"a"})", R"(,"route":"x")",
                                  R"(,"route":{"auto_detect_interface":false})"});
  return R"({"inbounds":)" + inbounds + route + R"(,"n":[1,1.0,-1,0.1,1e300],"log":{"level":"warn"}})";
}

// What the core is started on reads back, through the sanitizer, as the very
// value that was stored: the renderer adds only the adapter name and the
// range, which the sanitizer replaces again.
TEST(SanitizeCoreConfig, SanitizingARenderedConfigurationIsStable) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 400; ++round) {
    const std::string config = random_config(rng);
    const bool kill_switch = round % 2;
    const auto once = sanitize_core_config(config, kill_switch);
    ASSERT_THAT(once, Succeeds()) << config;
    const auto bytes = render_launch_config(*once, "Vorn-1a2b3c", round % 3);
    ASSERT_THAT(bytes, Succeeds()) << config;
    EXPECT_EQ(*bytes, Json::parse(*bytes).dump(2));  // exactly the library's pretty form
    const auto twice = sanitize_core_config(*bytes, kill_switch);
    ASSERT_THAT(twice, Succeeds()) << *bytes;
    EXPECT_TRUE(json_equal(*once, *twice)) << config << "\n" << once->dump() << "\n" << twice->dump();
    const TunSettings settings = read_tun_settings(*once);
    EXPECT_EQ(read_tun_settings(*twice), settings) << config;
  }
}

}  // namespace
}  // namespace vorn
