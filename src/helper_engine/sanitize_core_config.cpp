#include "helper_engine/sanitize_core_config.hpp"

#include <cstddef>
#include <optional>
#include <string>

#include "routing/route_rules.hpp"
#include "tun/tun_inbound.hpp"
#include "tun/tun_settings.hpp"
#include "user_proxy/user_proxy_inbound.hpp"

namespace vorn {
namespace {

constexpr std::size_t MAX_NESTING = 127;

// The library's own tree builder, refusing to open a level beyond MAX_NESTING
// and keeping the parse error as a value instead of an exception.
class NestingLimitedParser {
 public:
  using Dom = nlohmann::detail::json_sax_dom_parser<Json>;

  explicit NestingLimitedParser(Json& root) : dom_(root, false) {}

  bool null() { return dom_.null(); }
  bool boolean(bool v) { return dom_.boolean(v); }
  bool number_integer(Json::number_integer_t v) { return dom_.number_integer(v); }
  bool number_unsigned(Json::number_unsigned_t v) { return dom_.number_unsigned(v); }
  bool number_float(Json::number_float_t v, const Json::string_t& s) { return dom_.number_float(v, s); }
  bool string(Json::string_t& v) { return dom_.string(v); }
  bool binary(Json::binary_t& v) { return dom_.binary(v); }
  bool key(Json::string_t& v) { return dom_.key(v); }
  bool start_object(std::size_t n) { return open() && dom_.start_object(n); }
  bool end_object() { return close() && dom_.end_object(); }
  bool start_array(std::size_t n) { return open() && dom_.start_array(n); }
  bool end_array() { return close() && dom_.end_array(); }

  template <class Exception>
  bool parse_error(std::size_t, const std::string&, const Exception& e) {
    error_ = e.what();
    return false;
  }

  const std::optional<std::string>& error() const { return error_; }

 private:
  bool open() {
    if (depth_ == MAX_NESTING) {
      error_ = "arrays and objects nested more than " + std::to_string(MAX_NESTING) + " deep";
      return false;
    }
    ++depth_;
    return true;
  }

  bool close() {
    --depth_;
    return true;
  }

  Dom dom_;
  std::size_t depth_ = 0;
  std::optional<std::string> error_;
};

Result<Json> parse_config(std::string_view text) {
  const auto invalid = [](std::string cause) { return fail(Error(std::move(cause)).context("helper: config is not valid JSON")); };
  // The library would skip a leading byte-order mark; for this reader it is a
  // stray byte before the value like any other.
  if (text.starts_with("\xEF\xBB\xBF")) return invalid("unexpected byte-order mark at byte 0");
  // The library reads a NUL byte as the end of the input, which would let
  // anything after it through. JSON has no place for a raw NUL at all.
  if (const auto nul = text.find('\0'); nul != std::string_view::npos) {
    return invalid("unexpected NUL byte at byte " + std::to_string(nul));
  }
  Json root;
  NestingLimitedParser parser(root);
  const bool parsed = Json::sax_parse(text.begin(), text.end(), &parser);
  if (!parsed) return invalid(parser.error().value_or("parse failed"));
  return root;
}

}  // namespace

Result<Json> sanitize_core_config(std::string_view config_json, bool kill_switch) {
  auto parsed = parse_config(config_json);
  if (!parsed) return fail(parsed.error());
  Json root = std::move(*parsed);
  if (!root.is_object()) return fail("helper: config root is not an object");

  Json tun = build_tun_inbound(read_tun_settings(root));
  tun["strict_route"] = kill_switch;

  Json inbounds = Json::array();
  inbounds.push_back(std::move(tun));
  if (const auto client = root.find("inbounds"); client != root.end() && client->is_array()) {
    for (const auto& inbound : *client) {
      auto proxy = normalize_user_proxy_inbound(inbound);
      if (!proxy) return fail(proxy.error());
      if (!*proxy) continue;
      if (inbounds.size() > 1) return fail("helper: duplicate user proxy");
      inbounds.push_back(std::move(**proxy));
    }
  }
  root["inbounds"] = std::move(inbounds);

  auto route = root.find("route");
  if (route == root.end()) route = root.emplace("route", Json::object()).first;
  if (route->is_object()) (*route)["auto_detect_interface"] = true;

  normalize_route_rules(root);
  return root;
}

}  // namespace vorn
