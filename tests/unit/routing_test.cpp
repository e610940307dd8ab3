#include <gtest/gtest.h>

#include <string>

#include "routing/json_equal.hpp"
#include "routing/route_rules.hpp"

namespace vorn {
namespace {

TEST(JsonEqual, NumbersMustShareTheirKind) {
  struct Case {
    const char *a, *b;
    bool equal;
  } cases[] = {
      {"1500", "1500", true},
      {"1500", "1500.0", false},
      {"-1", "-1", true},
      {"-1", "-1.0", false},
      {"0.5", "5e-1", true},
      {"18446744073709551615", "18446744073709551615", true},
      {"18446744073709551615", "-1", false},
      {R"({"a":[1,{"b":2}]})", R"({"a":[1,{"b":2}]})", true},
      {R"({"a":[1,{"b":2}]})", R"({"a":[1,{"b":2.0}]})", false},
      {R"({"a":1,"b":2})", R"({"b":2,"a":1})", true},
      {R"({"a":1})", R"({"a":1,"b":null})", false},
      {R"({"a":1})", R"({"b":1})", false},
      {R"([1,2])", R"([2,1])", false},
      {R"([1])", R"([1,1])", false},
      {R"("1")", R"(1)", false},
      {R"(null)", R"(false)", false},
      {R"(true)", R"(true)", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(json_equal(Json::parse(c.a), Json::parse(c.b)), c.equal) << c.a << " vs " << c.b;
    EXPECT_EQ(json_equal(Json::parse(c.b), Json::parse(c.a)), c.equal) << c.b << " vs " << c.a;
  }
  // A non-negative integer is one kind however the library holds it.
  EXPECT_TRUE(json_equal(Json(std::int64_t{7}), Json::parse("7")));
}

// The route's rules after normalization, compact.
std::string rules_after(const std::string& root_text) {
  Json root = Json::parse(root_text);
  normalize_route_rules(root);
  return root["route"].is_object() ? root["route"]["rules"].dump() : root["route"].dump();
}

const std::string kPlain = R"({"action":"sniff"})";
const std::string kDnsOnly = R"({"action":"sniff","sniffer":["dns"]})";
const std::string kHijack = R"({"action":"hijack-dns","protocol":"dns"})";

std::string with_rules(const std::string& rules) { return R"({"route":{"rules":)" + rules + "}}"; }

TEST(RouteRules, PinsSniffAndHijackAtTheHead) {
  struct Case {
    std::string root, rules;
  } cases[] = {
      {"{}", "[" + kPlain + "," + kHijack + "]"},
      {R"({"route":{}})", "[" + kPlain + "," + kHijack + "]"},
      {with_rules("[]"), "[" + kPlain + "," + kHijack + "]"},
      {with_rules(R"("sniff")"), "[" + kPlain + "," + kHijack + "]"},
      {with_rules("null"), "[" + kPlain + "," + kHijack + "]"},
      {with_rules("[" + kDnsOnly + "]"), "[" + kDnsOnly + "," + kHijack + "]"},
      {with_rules(R"([{"sniffer":["dns"],"action":"sniff"},{"action":"sniff","sniffer":["dns"]}])"), "[" + kDnsOnly + "," + kHijack + "]"},
      {with_rules("[" + kDnsOnly + "," + kPlain + "]"), "[" + kPlain + "," + kHijack + "]"},
      {with_rules(R"([{"action":"sniff","sniffer":["dns","tls"]}])"), "[" + kPlain + "," + kHijack + "]"},
      {with_rules(R"([{"action":"sniff","sniffer":"dns"}])"), "[" + kPlain + "," + kHijack + "]"},
      {with_rules(R"([{"action":"sniff","sniffer":["dns"],"inbound":"tun-in"}])"), "[" + kPlain + "," + kHijack + "]"},
      {with_rules(R"([{"action":"sniff","sniffer":["dns"],"timeout":"1s"}])"), "[" + kPlain + "," + kHijack + "]"},
      // Not sniff rules: another key, or "action" not exactly "sniff".
      {with_rules(R"([{"action":"sniff","sniffer":["dns"],"port":53},{"action":"Sniff"},{"action":["sniff"]}])"),
       "[" + kPlain + "," + kHijack + R"(,{"action":"sniff","port":53,"sniffer":["dns"]},{"action":"Sniff"},{"action":["sniff"]}])"},
      {with_rules(R"([{"protocol":["dns"],"action":"hijack-dns"},{"action":"hijack-dns","protocol":"dns"}])"),
       "[" + kPlain + "," + kHijack + "]"},
      {with_rules(R"([{"protocol":["dns","ntp"],"action":"hijack-dns"},{"action":"hijack-dns","protocol":"dns","inbound":"x"},)"
                  R"({"action":"hijack-dns","protocol":"DNS"},{"action":"hijack-dns"},{"protocol":"dns"}])"),
       "[" + kPlain + "," + kHijack +
           R"(,{"action":"hijack-dns","protocol":["dns","ntp"]},{"action":"hijack-dns","inbound":"x","protocol":"dns"},)"
           R"({"action":"hijack-dns","protocol":"DNS"},{"action":"hijack-dns"},{"protocol":"dns"}])"},
      {with_rules(R"([1,{"outbound":"a"},)" + kHijack + R"(,"x",)" + kDnsOnly + R"(,{"outbound":"b"},null])"),
       "[" + kDnsOnly + "," + kHijack + R"(,1,{"outbound":"a"},"x",{"outbound":"b"},null])"},
      {R"({"route":[1]})", "[1]"},
      {R"({"route":"direct"})", R"("direct")"},
      {R"({"route":null})", "null"},
  };
  for (const auto& c : cases) EXPECT_EQ(rules_after(c.root), c.rules) << c.root;
}

TEST(RouteRules, IsIdempotent) {
  for (const std::string& rules : {std::string("[]"), "[" + kDnsOnly + "," + kDnsOnly + R"(,{"outbound":"a"}])",
                                  "[" + kPlain + R"(,{"action":"sniff","sniffer":["dns"],"x":1},{"outbound":"b"},)" + kHijack + "]"}) {
    Json once = Json::parse(with_rules(rules));
    normalize_route_rules(once);
    Json twice = once;
    normalize_route_rules(twice);
    EXPECT_TRUE(json_equal(once, twice)) << rules;
  }
}

TEST(RouteRules, RecognisesTheTwoKinds) {
  EXPECT_TRUE(is_sniff_rule(dns_sniff_rule()));
  EXPECT_FALSE(is_sniff_rule(Json::array({"action", "sniff"})));
  EXPECT_TRUE(is_dns_hijack_rule(dns_hijack_rule()));
  EXPECT_FALSE(is_dns_hijack_rule(Json::parse(R"({"action":"hijack-dns","protocol":[["dns"]]})")));
  EXPECT_FALSE(rule_has_extra_keys(Json::parse(R"({"protocol":1})")));
  EXPECT_TRUE(rule_has_extra_keys(Json::parse(R"({"protocol":1,"Action":2})")));
}

}  // namespace
}  // namespace vorn
