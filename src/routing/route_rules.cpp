#include "routing/route_rules.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "routing/json_equal.hpp"

namespace vorn {
namespace {

bool is_string(const Json& object, const char* key, std::string_view value) {
  const auto it = object.find(key);
  return it != object.end() && it->is_string() && it->get_ref<const std::string&>() == value;
}

bool keys_within(const Json& object, std::initializer_list<std::string_view> allowed) {
  return std::ranges::all_of(object.items(), [&](const auto& item) {
    return std::ranges::find(allowed, std::string_view(item.key())) != allowed.end();
  });
}

bool is_dns_protocol(const Json& rule) {
  const auto it = rule.find("protocol");
  if (it == rule.end()) return false;
  if (it->is_string()) return it->get_ref<const std::string&>() == "dns";
  return it->is_array() && it->size() == 1 && (*it)[0].is_string() && (*it)[0].get_ref<const std::string&>() == "dns";
}

Json plain_sniff_rule() { return Json::object({{"action", "sniff"}}); }

}  // namespace

bool is_sniff_rule(const Json& rule) {
  return rule.is_object() && is_string(rule, "action", "sniff") && keys_within(rule, {"action", "inbound", "sniffer", "timeout"});
}

bool is_dns_hijack_rule(const Json& rule) {
  return rule.is_object() && is_dns_protocol(rule) && is_string(rule, "action", "hijack-dns") && !rule_has_extra_keys(rule);
}

bool rule_has_extra_keys(const Json& rule) { return rule.is_object() && !keys_within(rule, {"action", "protocol"}); }

Json dns_sniff_rule() { return Json::object({{"action", "sniff"}, {"sniffer", Json::array({"dns"})}}); }

Json dns_hijack_rule() { return Json::object({{"action", "hijack-dns"}, {"protocol", "dns"}}); }

void pin_leading_dns_rules(Json& rules) {
  if (!rules.is_array()) return;
  const Json dns_only = dns_sniff_rule();
  bool any_sniff = false;
  bool all_dns_only = true;
  Json out = Json::array();
  out.get_ref<Json::array_t&>().reserve(rules.size() + 2);
  out.push_back(Json());  // the pinned sniff rule, chosen below
  out.push_back(dns_hijack_rule());
  for (auto& rule : rules) {
    if (is_sniff_rule(rule)) {
      any_sniff = true;
      all_dns_only = all_dns_only && json_equal(rule, dns_only);
    } else if (!is_dns_hijack_rule(rule)) {
      out.push_back(std::move(rule));
    }
  }
  out[0] = any_sniff && all_dns_only ? dns_only : plain_sniff_rule();
  rules = std::move(out);
}

void normalize_route_rules(Json& root) {
  if (!root.is_object()) return;
  auto route = root.find("route");
  if (route == root.end()) route = root.emplace("route", Json::object()).first;
  if (!route->is_object()) return;
  Json& rules = (*route)["rules"];
  if (!rules.is_array()) rules = Json::array();
  pin_leading_dns_rules(rules);
}

}  // namespace vorn
