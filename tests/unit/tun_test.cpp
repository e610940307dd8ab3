#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/matchers.hpp"
#include "tun/launch_config.hpp"
#include "tun/route_excludes.hpp"
#include "tun/tun_inbound.hpp"
#include "tun/tun_settings.hpp"

namespace vorn {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::FailsExactly;
using testing::FailsWith;
using testing::Succeeds;

using Texts = std::vector<std::string>;

TEST(RouteExcludes, CanonicalisesAndSkipsUnusableItems) {
  struct Case {
    Texts in, out;
  } cases[] = {
      {{"192.168.1.77/24", "192.168.1.0/24", "fe80::1", "gateway/8", "10.0.0.0/0", "10.0.0.0/33", "10.0.0.0/+8",
        "2001:DB8::/32"},
       {"192.168.1.0/24", "fe80::1/128", "2001:db8::/32"}},
      {{"10.0.0.7/8", " 10.0.0.7/8\t", "10.1.2.3 /8", "10.0.0.0/008"}, {"10.0.0.0/8"}},
      {{"1.2.3.4"}, {"1.2.3.4/32"}},
      {{"::ffff:192.168.0.9/120"}, {"::ffff:192.168.0.0/120"}},
      {{"::/128", "::1/129", "::1/255", "::1/256", "::1/0032", "::1/", "1.2.3.4/ 8", "1.2.3.4/8 /8", "1.2.3.4/-1"}, {"::/128"}},
      {{"", "   ", "\u3000", "/8", "[::1]/128", "fe80::1%3/64", "1.2.3.4:80", "localhost", "1.2.3.4/8\u00a0x"}, {}},
      {{"\u00a010.0.0.1\u2003/ 8"}, {}},
      {{"\u00a010.0.0.1\u2003/8\u3000"}, {"10.0.0.0/8"}},  // Unicode white space is trimmed around both parts
  };
  for (const auto& c : cases) EXPECT_EQ(normalize_route_excludes(c.in), c.out) << ::testing::PrintToString(c.in);
}

TEST(RouteExcludes, KeepsTheFirst256DistinctEntries) {
  Texts in;
  for (int i = 0; i < 300; ++i) {
    const std::string prefix = "10." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ".0/24";
    in.push_back(prefix);
    in.push_back(prefix);  // repeats do not count towards the limit
  }
  const Texts out = normalize_route_excludes(in);
  ASSERT_EQ(out.size(), MAX_ROUTE_EXCLUDES);
  EXPECT_EQ(out.front(), "10.0.0.0/24");
  EXPECT_EQ(out.back(), "10.0.255.0/24");
  EXPECT_EQ(normalize_route_excludes(out), out);
}

Json tun_root(const char* inbound) { return Json::parse(std::string(R"({"inbounds":[)") + inbound + "]}"); }

TEST(TunSettings, ReadsOnlyTheFirstTunInbound) {
  const TunSettings defaults;
  EXPECT_EQ(read_tun_settings(Json::object()), defaults);
  EXPECT_EQ(read_tun_settings(Json::array()), defaults);
  EXPECT_EQ(read_tun_settings(Json::parse(R"({"inbounds":{"type":"tun","mtu":1500}})")), defaults);

  const TunSettings first = read_tun_settings(tun_root(
      R"(1, {"type":"mixed","mtu":1500}, {"type":"TUN","mtu":1500}, {"type":"tun"},
         {"type":"tun","mtu":1500,"stack":"gvisor","route_exclude_address":["10.0.0.0/8"]})"));
  EXPECT_EQ(first, defaults);

  const TunSettings full =
      read_tun_settings(tun_root(R"({"type":"tun","mtu":1280,"stack":"mixed","route_exclude_address":["10.0.0.1/8",5,null,"::1"]})"));
  EXPECT_EQ(full.mtu, 1280u);
  EXPECT_EQ(full.stack, "mixed");
  EXPECT_THAT(full.route_exclude_address, ElementsAre("10.0.0.0/8", "::1/128"));
}

TEST(TunSettings, TakesOnlyListedValuesOfTheRightKind) {
  struct Case {
    const char* inbound;
    std::uint32_t mtu;
    const char* stack;
  } cases[] = {
      {R"({"type":"tun","mtu":1500,"stack":"gvisor"})", 1500, "gvisor"},
      {R"({"type":"tun","mtu":9000,"stack":"system"})", 9000, "system"},
      {R"({"type":"tun","mtu":1380,"stack":"mixed"})", 1380, "mixed"},
      {R"({"type":"tun","mtu":1420})", 1420, "system"},
      {R"({"type":"tun","mtu":1500.0,"stack":"System"})", 9000, "system"},
      {R"({"type":"tun","mtu":1400,"stack":" gvisor"})", 9000, "system"},
      {R"({"type":"tun","mtu":-1500,"stack":["gvisor"]})", 9000, "system"},
      {R"({"type":"tun","mtu":"1500","stack":null})", 9000, "system"},
      {R"({"type":"tun","mtu":18446744073709551615})", 9000, "system"},
  };
  for (const auto& c : cases) {
    const TunSettings s = read_tun_settings(tun_root(c.inbound));
    EXPECT_EQ(s.mtu, c.mtu) << c.inbound;
    EXPECT_EQ(s.stack, c.stack) << c.inbound;
    EXPECT_THAT(s.route_exclude_address, IsEmpty()) << c.inbound;
  }
}

TEST(TunInbound, BuildsTheSystemsInbound) {
  EXPECT_EQ(build_tun_inbound(TunSettings{}).dump(),
            R"({"address":["10.86.111.1/30","fd56:6f72:6e00::1/126"],"auto_route":true,"mtu":9000,)"
            R"("route_address":["0.0.0.0/1","128.0.0.0/1","::/1","8000::/1"],"stack":"system","strict_route":false,)"
            R"("tag":"tun-in","type":"tun"})");
  const Json inbound = build_tun_inbound(TunSettings{"gvisor", {"10.0.0.0/8", "fe80::/10"}, 1500});
  EXPECT_EQ(inbound["route_exclude_address"].dump(), R"(["10.0.0.0/8","fe80::/10"])");
  EXPECT_TRUE(inbound["mtu"].is_number_integer());
  EXPECT_EQ(inbound["mtu"], 1500);
  EXPECT_EQ(inbound["stack"], "gvisor");
}

const char* kStored = R"({"inbounds":[{"address":["10.86.111.1/30","fd56:6f72:6e00::1/126"],"type":"tun","tag":"tun-in"},
  {"type":"mixed","tag":"vorn-user-proxy"}],"log":{},"n":[1500,1500.0,-3,1e300,[]],"s":"é\u0001\n","k\"\n":{"x":[{}]}})";

TEST(LaunchConfig, WritesTheTwoSpacePrettyForm) {
  const auto bytes = render_launch_config(Json::parse(kStored), "Vorn-a1b2c3", 0);
  ASSERT_THAT(bytes, Succeeds());
  EXPECT_EQ(*bytes,
            "{\n"
            "  \"inbounds\": [\n"
            "    {\n"
            "      \"address\": [\n"
            "        \"10.86.111.1/30\",\n"
            "        \"fd56:6f72:6e00::1/126\"\n"
            "      ],\n"
            "      \"interface_name\": \"Vorn-a1b2c3\",\n"
            "      \"tag\": \"tun-in\",\n"
            "      \"type\": \"tun\"\n"
            "    },\n"
            "    {\n"
            "      \"tag\": \"vorn-user-proxy\",\n"
            "      \"type\": \"mixed\"\n"
            "    }\n"
            "  ],\n"
            "  \"k\\\"\\n\": {\n"
            "    \"x\": [\n"
            "      {}\n"
            "    ]\n"
            "  },\n"
            "  \"log\": {},\n"
            "  \"n\": [\n"
            "    1500,\n"
            "    1500.0,\n"
            "    -3,\n"
            "    1e+300,\n"
            "    []\n"
            "  ],\n"
            "  \"s\": \"é\\u0001\\n\"\n"
            "}");
}

TEST(LaunchConfig, FillsTheChosenRangeIntoEveryTunInbound) {
  const Json stored = tun_root(R"({"type":"tun"}, {"type":"tun","address":"x"}, {"type":"mixed","address":"keep"})");
  const Json stored_copy = stored;
  const auto range = [&](std::size_t index) {
    const Json out = Json::parse(*render_launch_config(stored, "Vorn", index));
    return out["inbounds"][0]["address"].dump() + out["inbounds"][1]["address"].dump() + out["inbounds"][2]["address"].dump();
  };
  EXPECT_EQ(range(0), R"(["10.86.111.1/30","fd56:6f72:6e00::1/126"]["10.86.111.1/30","fd56:6f72:6e00::1/126"]"keep")");
  EXPECT_EQ(range(1), R"(["10.181.229.1/30","fd56:6f72:6e01::1/126"]["10.181.229.1/30","fd56:6f72:6e01::1/126"]"keep")");
  EXPECT_EQ(range(7), range(0));
  EXPECT_EQ(stored, stored_copy);  // the stored value is never written to
}

TEST(LaunchConfig, DiffersOnlyInTheAdapterName) {
  const Json stored = Json::parse(kStored);
  Json a = Json::parse(*render_launch_config(stored, "Vorn-000001", 1));
  Json b = Json::parse(*render_launch_config(stored, "anything \"quoted\"", 1));
  EXPECT_EQ(a["inbounds"][0]["interface_name"], "Vorn-000001");
  EXPECT_EQ(b["inbounds"][0]["interface_name"], "anything \"quoted\"");
  EXPECT_FALSE(a["inbounds"][1].contains("interface_name"));
  a["inbounds"][0].erase("interface_name");
  b["inbounds"][0].erase("interface_name");
  EXPECT_EQ(a, b);
  EXPECT_FALSE(stored["inbounds"][0].contains("interface_name"));
}

TEST(LaunchConfig, RefusesAConfigurationWithoutATunInboundInFront) {
  for (const char* config : {R"({})", R"({"inbounds":[]})", R"({"inbounds":{}})", R"([])", R"(null)", R"({"inbounds":[5]})",
                             R"({"inbounds":[null]})"}) {
    EXPECT_THAT(render_launch_config(Json::parse(config), "Vorn", 0), FailsExactly("helper: sanitized config has no tun inbound"))
        << config;
  }
  // Not a TUN inbound but an object: the name is written all the same.
  EXPECT_THAT(render_launch_config(tun_root(R"({"type":"mixed"})"), "Vorn", 0), Succeeds());
}

TEST(LaunchConfig, ReportsAnAdapterNameThatCannotBeWritten) {
  EXPECT_THAT(render_launch_config(tun_root(R"({"type":"tun"})"), "Vorn-\xff", 0),
              FailsWith("helper: failed to re-serialize config: [json.exception.type_error.316]"));
}

}  // namespace
}  // namespace vorn
