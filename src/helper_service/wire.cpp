#include "helper_service/wire.hpp"

#include <fmt/format.h>

#include <array>
#include <charconv>
#include <optional>
#include <utility>
#include <vector>

#include "support/text.hpp"

// The request reader is written by hand rather than on the JSON library's
// parser: its errors must stand at the byte where reading stopped (the
// library's event interface gives no position for the errors found above the
// syntax), it must tell -0 and 1.0 from integers, and it must refuse a leading
// byte-order mark that the library skips.

namespace vorn {
namespace {

// At most this many arrays and objects may be open at once.
constexpr std::size_t MAX_LEVELS = JSON_MAX_OPEN_LEVELS;

constexpr std::array<std::string_view, 7> CMD_NAMES = {
    "ping", "status", "provision_core", "connect", "disconnect", "disconnect_owned", "logs",
};

std::string dump(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

// A value of the request object kept until "cmd" says which case it is read
// as. Only what a field reader can look at is kept: the text of a scalar and,
// of an object, the pairs whose key some record declares. Everything else is
// read in full but dropped, so a 4 MiB request never grows into a large tree.
enum class Kind { Null, Boolean, String, Number, Array, Object };

struct Member;

struct Node {
  Kind kind = Kind::Null;
  std::string text;  // a string's content, a number's digits, "true" or "false"
  std::vector<Member> members;
};

struct Member {
  std::string key;
  Node value;
};

bool is_field_name(std::string_view key) {
  static constexpr std::array<std::string_view, 8> names = {
      "core_src", "wintun_src", "config_json", "kill_switch", "authority", "since", "instance", "generation",
  };
  for (std::string_view name : names) {
    if (key == name) return true;
  }
  return false;
}

bool is_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool starts_scalar(char c) { return c == '"' || c == '-' || is_digit(c) || c == 't' || c == 'f' || c == 'n'; }

bool is_float_text(std::string_view number) { return number.find_first_of(".eE") != std::string_view::npos; }

std::string describe(const Node& node) {
  switch (node.kind) {
    case Kind::Null:
      return "null";
    case Kind::Boolean:
      return fmt::format("boolean `{}`", node.text);
    case Kind::String:
      return "string " + dump(Json(node.text));
    case Kind::Number:
      return fmt::format("{} `{}`", is_float_text(node.text) ? "floating point" : "integer", node.text);
    case Kind::Array:
      return "array";
    case Kind::Object:
      return "object";
  }
  return {};
}

// `field` is empty for the envelope itself.
std::string invalid_type(const Node& found, std::string_view expected, std::string_view field) {
  std::string text = fmt::format("invalid type: {}, expected {}", describe(found), expected);
  if (!field.empty()) text += fmt::format(" for `{}`", field);
  return text;
}

std::unexpected<Error> pass(Error& error) { return std::unexpected(std::move(error)); }

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  Result<Envelope> envelope();

 private:
  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }
  void skip_whitespace() {
    while (!at_end() && is_whitespace(peek())) ++pos_;
  }

  // The error stands where reading stopped: after the last byte read.
  std::unexpected<Error> fail_here(std::string_view what) const;
  // The error stands at the next byte, which counts as read.
  std::unexpected<Error> fail_at_byte(std::string_view what) {
    if (!at_end()) ++pos_;
    return fail_here(what);
  }

  Status read_string(std::string& out);
  Result<char32_t> read_hex4();
  Status read_number(std::string& out);
  Status read_literal(std::string_view word);
  Result<Node> read_scalar();
  Result<Node> read_value(std::size_t level);
  Status skip_value();
  Status read_key(std::string& key);
  Status read_colon();
  template <class CheckKey, class ReadValue>
  Status read_members(CheckKey&& check_key, ReadValue&& read_member_value);
  std::unexpected<Error> fail_wrong_type(std::string_view expected, std::string_view field);
  Result<std::string> read_text(std::string_view field);
  Result<std::size_t> read_cmd();
  Result<Request> read_request();
  Result<Request> read_case(std::size_t which, const std::vector<Member>& kept);
  template <std::size_t N, class Assign>
  Status read_fields(const std::vector<Member>& members, const std::array<std::string_view, N>& names,
                     Assign&& assign);
  Result<std::string> field_text(const Node& node, std::string_view field);
  Result<bool> field_bool(const Node& node, std::string_view field);
  Result<std::uint64_t> field_u64(const Node& node, std::string_view field);
  Result<StopAuthority> field_authority(const Node& node);

  std::string_view text_;
  std::size_t pos_ = 0;
};

std::unexpected<Error> Reader::fail_here(std::string_view what) const {
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < pos_; ++i) {
    if (text_[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return fail(fmt::format("{} at line {} column {}", what, line, pos_ - line_start));
}

Status Reader::read_string(std::string& out) {
  ++pos_;  // the opening quotation mark
  for (;;) {
    if (at_end()) return fail_here("EOF while parsing a string");
    const auto c = static_cast<unsigned char>(peek());
    if (c == '"') {
      ++pos_;
      return {};
    }
    if (c < 0x20) return fail_at_byte("control character (\\u0000-\\u001F) found while parsing a string");
    if (c >= 0x80) {
      std::size_t next = pos_;
      if (!text::decode_utf8(text_, next)) return fail_at_byte("invalid UTF-8 in string");
      out.append(text_.substr(pos_, next - pos_));
      pos_ = next;
      continue;
    }
    ++pos_;
    if (c != '\\') {
      out += static_cast<char>(c);
      continue;
    }
    if (at_end()) return fail_here("EOF while parsing a string");
    const char escape = peek();
    ++pos_;
    switch (escape) {
      case '"':
      case '\\':
      case '/':
        out += escape;
        continue;
      case 'b':
        out += '\b';
        continue;
      case 'f':
        out += '\f';
        continue;
      case 'n':
        out += '\n';
        continue;
      case 'r':
        out += '\r';
        continue;
      case 't':
        out += '\t';
        continue;
      case 'u':
        break;
      default:
        return fail_here("invalid escape");
    }
    auto unit = read_hex4();
    if (!unit) return pass(unit.error());
    char32_t code_point = *unit;
    if (code_point >= 0xDC00 && code_point <= 0xDFFF) return fail_here("lone trailing surrogate in hex escape");
    if (code_point >= 0xD800 && code_point <= 0xDBFF) {
      if (at_end()) return fail_here("EOF while parsing a string");
      if (peek() != '\\') return fail_at_byte("lone leading surrogate in hex escape");
      ++pos_;
      if (at_end()) return fail_here("EOF while parsing a string");
      if (peek() != 'u') return fail_at_byte("lone leading surrogate in hex escape");
      ++pos_;
      auto low = read_hex4();
      if (!low) return pass(low.error());
      if (*low < 0xDC00 || *low > 0xDFFF) return fail_here("lone leading surrogate in hex escape");
      code_point = 0x10000 + ((code_point - 0xD800) << 10) + (*low - 0xDC00);
    }
    text::append_utf8(code_point, out);
  }
}

Result<char32_t> Reader::read_hex4() {
  char32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    if (at_end()) return fail_here("EOF while parsing a string");
    const char c = peek();
    ++pos_;
    int digit;
    if (is_digit(c)) {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return fail_here("invalid escape");
    }
    value = value * 16 + static_cast<char32_t>(digit);
  }
  return value;
}

// Keeps the number's text: whether it may be read as an unsigned integer is
// decided by the field that receives it.
Status Reader::read_number(std::string& out) {
  const std::size_t start = pos_;
  const auto digits = [&] {
    while (!at_end() && is_digit(peek())) ++pos_;
  };
  const auto require_digit = [&]() -> Status {
    if (at_end()) return fail_here("EOF while parsing a value");
    if (!is_digit(peek())) return fail_at_byte("invalid number");
    return {};
  };
  if (peek() == '-') ++pos_;
  if (auto s = require_digit(); !s) return s;
  if (peek() == '0') {
    ++pos_;
    if (!at_end() && is_digit(peek())) return fail_at_byte("invalid number");
  } else {
    digits();
  }
  if (!at_end() && peek() == '.') {
    ++pos_;
    if (auto s = require_digit(); !s) return s;
    digits();
  }
  if (!at_end() && (peek() == 'e' || peek() == 'E')) {
    ++pos_;
    if (!at_end() && (peek() == '+' || peek() == '-')) ++pos_;
    if (auto s = require_digit(); !s) return s;
    digits();
  }
  out.assign(text_.substr(start, pos_ - start));
  return {};
}

Status Reader::read_literal(std::string_view word) {
  for (char c : word) {
    if (at_end()) return fail_here("EOF while parsing a value");
    if (peek() != c) return fail_at_byte("expected ident");
    ++pos_;
  }
  return {};
}

Result<Node> Reader::read_scalar() {
  Node node;
  Status read;
  switch (peek()) {
    case '"':
      node.kind = Kind::String;
      read = read_string(node.text);
      break;
    case 't':
    case 'f':
      node.kind = Kind::Boolean;
      node.text = peek() == 't' ? "true" : "false";
      read = read_literal(node.text);
      break;
    case 'n':
      read = read_literal("null");
      break;
    default:
      node.kind = Kind::Number;
      read = read_number(node.text);
      break;
  }
  if (!read) return pass(read.error());
  return node;
}

Status Reader::read_key(std::string& key) {
  if (at_end()) return fail_here("EOF while parsing an object");
  if (peek() == '}') return fail_at_byte("trailing comma");
  if (peek() != '"') return fail_at_byte("key must be a string");
  return read_string(key);
}

Status Reader::read_colon() {
  skip_whitespace();
  if (at_end()) return fail_here("EOF while parsing an object");
  if (peek() != ':') return fail_at_byte("expected `:`");
  ++pos_;
  return {};
}

// Reads the pairs of an object whose opening brace was just read.
// `check_key` sees each key before its colon, so that a repeated key is
// refused where it stands; `read_member_value` reads the value.
template <class CheckKey, class ReadValue>
Status Reader::read_members(CheckKey&& check_key, ReadValue&& read_member_value) {
  skip_whitespace();
  if (at_end()) return fail_here("EOF while parsing an object");
  if (peek() == '}') {
    ++pos_;
    return {};
  }
  for (;;) {
    std::string key;
    if (auto s = read_key(key); !s) return s;
    if (auto s = check_key(key); !s) return s;
    if (auto s = read_colon(); !s) return s;
    if (auto s = read_member_value(std::move(key)); !s) return s;
    skip_whitespace();
    if (at_end()) return fail_here("EOF while parsing an object");
    const char c = peek();
    ++pos_;
    if (c == '}') return {};
    if (c != ',') return fail_here("expected `,` or `}`");
    skip_whitespace();
  }
}

// Reads one value inside the request; a container opened here stands at
// `level`.
Result<Node> Reader::read_value(std::size_t level) {
  skip_whitespace();
  if (at_end()) return fail_here("EOF while parsing a value");
  const char c = peek();
  if (c != '[' && c != '{') {
    if (!starts_scalar(c)) return fail_at_byte("expected value");
    return read_scalar();
  }
  if (level > MAX_LEVELS) return fail_at_byte("recursion limit exceeded");
  ++pos_;
  Node node;
  if (c == '{') {
    node.kind = Kind::Object;
    const auto no_check = [](const std::string&) -> Status { return {}; };
    const auto keep = [&](std::string key) -> Status {
      auto value = read_value(level + 1);
      if (!value) return pass(value.error());
      if (is_field_name(key)) node.members.push_back(Member{std::move(key), std::move(*value)});
      return {};
    };
    if (auto s = read_members(no_check, keep); !s) return pass(s.error());
    return node;
  }
  node.kind = Kind::Array;
  skip_whitespace();
  if (at_end()) return fail_here("EOF while parsing a list");
  if (peek() == ']') {
    ++pos_;
    return node;
  }
  for (;;) {
    if (auto item = read_value(level + 1); !item) return pass(item.error());
    skip_whitespace();
    if (at_end()) return fail_here("EOF while parsing a list");
    const char d = peek();
    ++pos_;
    if (d == ']') return node;
    if (d != ',') return fail_here("expected `,` or `]`");
    skip_whitespace();
    if (!at_end() && peek() == ']') return fail_at_byte("trailing comma");
  }
}

// Skips the value of an undeclared envelope key. It must be well-formed but
// its depth is not limited, so it is walked with an explicit stack rather
// than by recursion.
Status Reader::skip_value() {
  std::vector<bool> open;  // true for an object, false for an array
  std::string scratch;
  for (;;) {
    skip_whitespace();
    if (at_end()) return fail_here("EOF while parsing a value");
    const char c = peek();
    if (c == '{' || c == '[') {
      const bool object = c == '{';
      ++pos_;
      skip_whitespace();
      if (at_end()) return fail_here(object ? "EOF while parsing an object" : "EOF while parsing a list");
      if (peek() == (object ? '}' : ']')) {
        ++pos_;
      } else {
        open.push_back(object);
        if (object) {
          scratch.clear();
          if (auto s = read_key(scratch); !s) return s;
          if (auto s = read_colon(); !s) return s;
        }
        continue;
      }
    } else if (starts_scalar(c)) {
      if (auto scalar = read_scalar(); !scalar) return pass(scalar.error());
    } else {
      return fail_at_byte("expected value");
    }
    // A value has ended: close every container that ends with it.
    for (;;) {
      if (open.empty()) return {};
      const bool object = open.back();
      skip_whitespace();
      if (at_end()) return fail_here(object ? "EOF while parsing an object" : "EOF while parsing a list");
      const char d = peek();
      ++pos_;
      if (d == (object ? '}' : ']')) {
        open.pop_back();
        continue;
      }
      if (d != ',') return fail_here(object ? "expected `,` or `}`" : "expected `,` or `]`");
      skip_whitespace();
      if (object) {
        scratch.clear();
        if (auto s = read_key(scratch); !s) return s;
        if (auto s = read_colon(); !s) return s;
      } else if (!at_end() && peek() == ']') {
        return fail_at_byte("trailing comma");
      }
      break;
    }
  }
}

// A value of the wrong type found while reading: a scalar is read first so
// that the error can show it, a container is refused at its opening byte.
std::unexpected<Error> Reader::fail_wrong_type(std::string_view expected, std::string_view field) {
  const char c = peek();
  if (c == '[' || c == '{') {
    Node container;
    container.kind = c == '[' ? Kind::Array : Kind::Object;
    return fail_at_byte(invalid_type(container, expected, field));
  }
  if (!starts_scalar(c)) return fail_at_byte("expected value");
  auto scalar = read_scalar();
  if (!scalar) return pass(scalar.error());
  return fail_here(invalid_type(*scalar, expected, field));
}

Result<std::string> Reader::read_text(std::string_view field) {
  skip_whitespace();
  if (at_end()) return fail_here("EOF while parsing a value");
  if (peek() != '"') return fail_wrong_type("a string", field);
  std::string value;
  if (auto s = read_string(value); !s) return pass(s.error());
  return value;
}

Result<std::size_t> Reader::read_cmd() {
  auto name = read_text("cmd");
  if (!name) return pass(name.error());
  for (std::size_t i = 0; i < CMD_NAMES.size(); ++i) {
    if (*name == CMD_NAMES[i]) return i;
  }
  std::string expected;
  for (std::string_view known : CMD_NAMES) {
    if (!expected.empty()) expected += ", ";
    expected += fmt::format("`{}`", known);
  }
  return fail_here(fmt::format("unknown variant `{}`, expected one of {}", *name, expected));
}

Result<Request> Reader::read_request() {
  skip_whitespace();
  if (at_end()) return fail_here("EOF while parsing a value");
  if (peek() != '{') return fail_wrong_type("an object", "request");
  ++pos_;
  std::optional<std::size_t> which;
  std::vector<Member> kept;
  const auto check_key = [&](const std::string& key) -> Status {
    if (key == "cmd" && which) return fail_here("duplicate field `cmd`");
    return {};
  };
  const auto read_pair = [&](std::string key) -> Status {
    if (key == "cmd") {
      auto found = read_cmd();
      if (!found) return pass(found.error());
      which = *found;
      return {};
    }
    // The envelope is level 1 and the request level 2.
    auto value = read_value(3);
    if (!value) return pass(value.error());
    if (is_field_name(key)) kept.push_back(Member{std::move(key), std::move(*value)});
    return {};
  };
  if (auto s = read_members(check_key, read_pair); !s) return pass(s.error());
  if (!which) return fail_here("missing field `cmd`");
  return read_case(*which, kept);
}

// Reads the declared fields of one record from its pairs in document order:
// the first pair that fails decides the error, then the first missing field
// in declaration order.
template <std::size_t N, class Assign>
Status Reader::read_fields(const std::vector<Member>& members, const std::array<std::string_view, N>& names,
                           Assign&& assign) {
  std::array<bool, N> seen{};
  for (const Member& member : members) {
    for (std::size_t i = 0; i < N; ++i) {
      if (member.key != names[i]) continue;
      if (seen[i]) return fail_here(fmt::format("duplicate field `{}`", names[i]));
      if (auto s = assign(i, member.value); !s) return s;
      seen[i] = true;
      break;
    }
  }
  for (std::size_t i = 0; i < N; ++i) {
    if (!seen[i]) return fail_here(fmt::format("missing field `{}`", names[i]));
  }
  return {};
}

Result<std::string> Reader::field_text(const Node& node, std::string_view field) {
  if (node.kind != Kind::String) return fail_here(invalid_type(node, "a string", field));
  return node.text;
}

Result<bool> Reader::field_bool(const Node& node, std::string_view field) {
  if (node.kind != Kind::Boolean) return fail_here(invalid_type(node, "a boolean", field));
  return node.text == "true";
}

Result<std::uint64_t> Reader::field_u64(const Node& node, std::string_view field) {
  static constexpr std::string_view expected = "an unsigned 64-bit integer";
  if (node.kind != Kind::Number || is_float_text(node.text)) return fail_here(invalid_type(node, expected, field));
  std::uint64_t value = 0;
  const char* end = node.text.data() + node.text.size();
  const auto [stop, error] = std::from_chars(node.text.data(), end, value);
  if (node.text.front() == '-' || error != std::errc() || stop != end) {
    return fail_here(fmt::format("invalid value: integer `{}`, expected {} for `{}`", node.text, expected, field));
  }
  return value;
}

Result<StopAuthority> Reader::field_authority(const Node& node) {
  if (node.kind != Kind::Object) return fail_here(invalid_type(node, "an object", "authority"));
  StopAuthority authority;
  static constexpr std::array<std::string_view, 2> names = {"instance", "generation"};
  const auto assign = [&](std::size_t i, const Node& value) -> Status {
    if (i == 0) {
      auto instance = field_text(value, names[0]);
      if (!instance) return pass(instance.error());
      authority.instance = std::move(*instance);
    } else {
      auto generation = field_u64(value, names[1]);
      if (!generation) return pass(generation.error());
      authority.generation = *generation;
    }
    return {};
  };
  if (auto s = read_fields(node.members, names, assign); !s) return pass(s.error());
  return authority;
}

Result<Request> Reader::read_case(std::size_t which, const std::vector<Member>& kept) {
  switch (which) {
    case 0:
      return cmd::Ping{};
    case 1:
      return cmd::Status{};
    case 2: {
      static constexpr std::array<std::string_view, 2> names = {"core_src", "wintun_src"};
      cmd::ProvisionCore request;
      const auto assign = [&](std::size_t i, const Node& value) -> Status {
        auto path = field_text(value, names[i]);
        if (!path) return pass(path.error());
        (i == 0 ? request.core_src : request.wintun_src) = std::move(*path);
        return {};
      };
      if (auto s = read_fields(kept, names, assign); !s) return pass(s.error());
      return request;
    }
    case 3: {
      static constexpr std::array<std::string_view, 2> names = {"config_json", "kill_switch"};
      cmd::Connect request;
      const auto assign = [&](std::size_t i, const Node& value) -> Status {
        if (i == 0) {
          auto config = field_text(value, names[0]);
          if (!config) return pass(config.error());
          request.config_json = std::move(*config);
        } else {
          auto kill_switch = field_bool(value, names[1]);
          if (!kill_switch) return pass(kill_switch.error());
          request.kill_switch = *kill_switch;
        }
        return {};
      };
      if (auto s = read_fields(kept, names, assign); !s) return pass(s.error());
      return request;
    }
    case 4:
      return cmd::Disconnect{};
    case 5: {
      static constexpr std::array<std::string_view, 1> names = {"authority"};
      cmd::DisconnectOwned request;
      const auto assign = [&](std::size_t, const Node& value) -> Status {
        auto authority = field_authority(value);
        if (!authority) return pass(authority.error());
        request.authority = std::move(*authority);
        return {};
      };
      if (auto s = read_fields(kept, names, assign); !s) return pass(s.error());
      return request;
    }
    default: {
      static constexpr std::array<std::string_view, 1> names = {"since"};
      cmd::Logs request;
      const auto assign = [&](std::size_t, const Node& value) -> Status {
        auto since = field_u64(value, names[0]);
        if (!since) return pass(since.error());
        request.since = *since;
        return {};
      };
      if (auto s = read_fields(kept, names, assign); !s) return pass(s.error());
      return request;
    }
  }
}

Result<Envelope> Reader::envelope() {
  skip_whitespace();
  if (at_end()) return fail_here("EOF while parsing a value");
  if (peek() != '{') return fail_wrong_type("an object", "");
  ++pos_;
  std::optional<std::string> token;
  std::optional<Request> request;
  const auto check_key = [&](const std::string& key) -> Status {
    if (key == "token" && token) return fail_here("duplicate field `token`");
    if (key == "request" && request) return fail_here("duplicate field `request`");
    return {};
  };
  const auto read_pair = [&](std::string key) -> Status {
    if (key == "token") {
      auto value = read_text("token");
      if (!value) return pass(value.error());
      token = std::move(*value);
    } else if (key == "request") {
      auto value = read_request();
      if (!value) return pass(value.error());
      request = std::move(*value);
    } else {
      return skip_value();
    }
    return {};
  };
  if (auto s = read_members(check_key, read_pair); !s) return pass(s.error());
  if (!token) return fail_here("missing field `token`");
  if (!request) return fail_here("missing field `request`");
  skip_whitespace();
  if (!at_end()) return fail_at_byte("trailing characters");
  return Envelope{std::move(*token), std::move(*request)};
}

}  // namespace

Result<Envelope> deserialize_envelope(std::string_view bytes) { return Reader(bytes).envelope(); }

std::string serialize_response(const Response& response) {
  // The envelope is written by hand so that "status" comes first; the data
  // object below it keeps its keys sorted.
  if (const auto* ok = std::get_if<ResponseOk>(&response)) {
    return R"({"status":"ok","data":)" + dump(ok->data) + "}";
  }
  if (const auto* error = std::get_if<ResponseError>(&response)) {
    return R"({"status":"error","message":)" + dump(Json(error->message)) + "}";
  }
  return R"({"status":"unauthorized"})";
}

Json ping_data() { return Json{{"pong", true}, {"version", HELPER_VERSION}}; }

Json provisioned_data() { return Json{{"provisioned", true}}; }

Json disconnected_data() { return Json{{"disconnected", true}}; }

}  // namespace vorn
