// The head of the route rules: every connection first has its protocol sniffed
// and DNS is then handed to the core's resolver, before any rule of the
// client. The client's own plain sniff and DNS-hijack rules are removed
// wherever they stood.
#pragma once

#include "support/json.hpp"

namespace vorn {

// An object whose "action" is "sniff" and whose keys are all among "action",
// "inbound", "sniffer" and "timeout".
bool is_sniff_rule(const Json& rule);

// {"action": "hijack-dns", "protocol": "dns" or ["dns"]} and nothing more.
bool is_dns_hijack_rule(const Json& rule);

// True when the object has a key other than "action" and "protocol".
bool rule_has_extra_keys(const Json& rule);

// {"action": "sniff", "sniffer": ["dns"]}
Json dns_sniff_rule();

// {"action": "hijack-dns", "protocol": "dns"}
Json dns_hijack_rule();

// Leaves the array as: the pinned sniff rule (the DNS-only one when every sniff
// rule of the client is DNS-only, otherwise the plain one), the DNS-hijack
// rule, then the client's other rules in their order.
void pin_leading_dns_rules(Json& rules);

// Applies pin_leading_dns_rules to the route's "rules", creating the route and
// the rules when missing and replacing rules that are not an array. A route
// that is not an object is left alone.
void normalize_route_rules(Json& root);

}  // namespace vorn
