// Reading the request envelope: what is accepted, and for every refusal the
// description's wire names and the exact position suffix.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "helper_service/wire.hpp"
#include "support/matchers.hpp"

namespace vorn {
namespace {

using testing::Succeeds;

std::string repeat(std::string_view piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

std::string envelope_with(std::string_view request) {
  return std::string(R"({"token":"t","request":)") + std::string(request) + "}";
}

struct Accepted {
  const char* name;
  std::string text;
  std::string token;
  Request request;
};

TEST(WireRead, AcceptsTheRequestForms) {
  const std::string max = "18446744073709551615";
  const Accepted cases[] = {
      {"ping", R"({"token":"t","request":{"cmd":"ping"}})", "t", cmd::Ping{}},
      {"request before token", R"({"request":{"cmd":"status"},"token":"abc"})", "abc", cmd::Status{}},
      {"empty token", R"({"token":"","request":{"cmd":"disconnect"}})", "", cmd::Disconnect{}},
      {"cmd last, after since", envelope_with(R"({"since":42,"cmd":"logs"})"), "t", cmd::Logs{42}},
      {"since at the maximum", envelope_with(R"({"cmd":"logs","since":)" + max + "}"), "t",
       cmd::Logs{18446744073709551615ull}},
      {"since zero", envelope_with(R"({"cmd":"logs","since":0})"), "t", cmd::Logs{0}},
      {"ping with further keys of any type",
       envelope_with(R"({"cmd":"ping","since":"x","config_json":{},"x":[1,-0,2.5e-3,{"a":null}],"x":true})"), "t",
       cmd::Ping{}},
      {"status with further keys", envelope_with(R"({"kill_switch":"yes","cmd":"status","authority":[]})"), "t",
       cmd::Status{}},
      {"disconnect with further keys", envelope_with(R"({"cmd":"disconnect","cmd_":1,"CMD":"ping"})"), "t",
       cmd::Disconnect{}},
      {"provision_core", envelope_with(R"({"cmd":"provision_core","wintun_src":"D:\\w.dll","core_src":"C:\\sb.exe"})"),
       "t", cmd::ProvisionCore{"C:\\sb.exe", "D:\\w.dll"}},
      {"connect ignoring undeclared keys, also repeated ones",
       envelope_with(
           R"({"cmd":"connect","x":1,"config_json":"{\"log\":{}}","x":[2],"since":-1,"kill_switch":true,"core_src":5})"),
       "t", cmd::Connect{R"({"log":{}})", true}},
      {"connect with the kill switch off", envelope_with(R"({"kill_switch":false,"config_json":"","cmd":"connect"})"),
       "t", cmd::Connect{"", false}},
      {"disconnect_owned with generation first and further keys",
       envelope_with(R"({"cmd":"disconnect_owned","authority":{"generation":)" + max +
                     R"(,"x":{"instance":1},"instance":"inst-1"},"since":"x"})"),
       "t", cmd::DisconnectOwned{StopAuthority{"inst-1", 18446744073709551615ull}}},
      {"names compared after unescaping", R"({"t\u006fken":"a","request":{"\u0063md":"p\u0069ng"}})", "a",
       cmd::Ping{}},
      {"whitespace around and inside", " \t\r\n{ \"token\" :\t\"t\" ,\n\"request\":{\"cmd\":\"ping\"} }\r\n", "t",
       cmd::Ping{}},
      {"several line feeds after", "{\"token\":\"t\",\"request\":{\"cmd\":\"ping\"}}\n\n\n", "t", cmd::Ping{}},
      {"undeclared envelope keys, repeated and of any shape",
       R"({"v":1,"token":"t","v":{"a":[true,false,null,"s",0.5E+2]},"request":{"cmd":"ping"},"v":[]})", "t",
       cmd::Ping{}},
      {"escapes in the token", R"({"token":"\"\\\/\b\f\n\r\t\u0000\u00e9\ud83d\ude00","request":{"cmd":"ping"}})",
       std::string("\"\\/\b\f\n\r\t") + '\0' + "\xc3\xa9\xf0\x9f\x98\x80", cmd::Ping{}},
      {"raw UTF-8 and DEL in the token", "{\"token\":\"\xd0\xb6\xe2\x82\xac\xf0\x9f\x98\x80\x7f\",\"request\":{\"cmd\":\"ping\"}}",
       "\xd0\xb6\xe2\x82\xac\xf0\x9f\x98\x80\x7f", cmd::Ping{}},
  };
  for (const Accepted& c : cases) {
    SCOPED_TRACE(c.name);
    const Result<Envelope> r = deserialize_envelope(c.text);
    ASSERT_THAT(r, Succeeds());
    EXPECT_EQ(r->token, c.token);
    EXPECT_EQ(r->request, c.request);
  }
}

TEST(WireRead, NestingCountsFromTheEnvelope) {
  // The envelope is level 1, the request 2, its values from 3 on: 125 arrays
  // reach level 127.
  const std::string prefix = R"({"token":"t","request":{"cmd":"ping","x":)";
  EXPECT_THAT(deserialize_envelope(prefix + repeat("[", 125) + repeat("]", 125) + "}}"), Succeeds());
  EXPECT_THAT(deserialize_envelope(prefix + repeat("[", 126) + repeat("]", 126) + "}}"),
              testing::FailsExactly("recursion limit exceeded at line 1 column " + std::to_string(prefix.size() + 126)));
  // Objects count like arrays.
  EXPECT_THAT(deserialize_envelope(prefix + repeat(R"({"a":)", 125) + "1" + repeat("}", 125) + "}}"), Succeeds());
  EXPECT_THAT(deserialize_envelope(prefix + repeat(R"({"a":)", 126) + "1" + repeat("}", 126) + "}}"),
              testing::FailsWith("recursion limit exceeded at line 1 column " +
                                 std::to_string(prefix.size() + 125 * 5 + 1)));
  // The authority object is level 3, so its values start at level 4.
  const std::string authority =
      R"({"token":"t","request":{"cmd":"disconnect_owned","authority":{"instance":"i","generation":1,"x":)";
  EXPECT_THAT(deserialize_envelope(authority + repeat("[", 124) + repeat("]", 124) + "}}}"), Succeeds());
  EXPECT_THAT(deserialize_envelope(authority + repeat("[", 125) + repeat("]", 125) + "}}}"),
              testing::FailsWith("recursion limit exceeded at line 1 column " + std::to_string(authority.size() + 125)));
}

TEST(WireRead, UndeclaredEnvelopeValuesHaveNoDepthLimit) {
  const std::size_t depth = 200000;
  const std::string deep = R"({"x":)" + repeat("[{\"a\":", depth) + "0" + repeat("}]", depth) + ",";
  EXPECT_THAT(deserialize_envelope(deep + R"("token":"t","request":{"cmd":"ping"}})"), Succeeds());
  // Still read to the end: an unclosed value is an error.
  const std::string open = R"({"x":)" + repeat("[", depth);
  EXPECT_THAT(deserialize_envelope(open),
              testing::FailsExactly("EOF while parsing a list at line 1 column " + std::to_string(open.size())));
}

struct Refused {
  const char* name;
  std::string text;
  std::string description;  // a part of the description
  std::string position;     // the exact suffix
};

TEST(WireRead, RefusesWithTheWireNamesAndThePosition) {
  const Refused cases[] = {
      {"empty text", "", "EOF while parsing a value", " at line 1 column 0"},
      {"whitespace only", " \t\r ", "EOF while parsing a value", " at line 1 column 4"},
      {"only a line feed", "\n", "EOF while parsing a value", " at line 2 column 0"},
      {"byte-order mark", "\xef\xbb\xbf{\"token\":\"t\",\"request\":{\"cmd\":\"ping\"}}", "expected value", " at line 1 column 1"},
      {"stray byte after", "{\"token\":\"t\",\"request\":{\"cmd\":\"ping\"}} x", "trailing characters", " at line 1 column 40"},
      {"second value after", "{\"token\":\"t\",\"request\":{\"cmd\":\"ping\"}}{}", "trailing characters", " at line 1 column 39"},
      {"byte on the next line", "{\"token\":\"t\",\"request\":{\"cmd\":\"ping\"}}\nx", "trailing characters", " at line 2 column 1"},
      {"form feed is no whitespace", "{\"token\":\"t\",\"request\":{\"cmd\":\"ping\"}}\x0c", "trailing characters", " at line 1 column 39"},
      {"envelope is an array", "[\"t\",{\"cmd\":\"ping\"}]", "invalid type: array, expected an object", " at line 1 column 1"},
      {"envelope is a string", "\"t\"", "invalid type: string \"t\", expected an object", " at line 1 column 3"},
      {"token repeated", "{\"token\":\"a\",\"token\":\"a\",\"request\":{\"cmd\":\"ping\"}}", "duplicate field `token`", " at line 1 column 20"},
      {"request repeated", "{\"request\":{\"cmd\":\"ping\"},\"token\":\"a\",\"request\":{\"cmd\":\"ping\"}}", "duplicate field `request`", " at line 1 column 47"},
      {"token missing", "{\"request\":{\"cmd\":\"ping\"}}", "missing field `token`", " at line 1 column 26"},
      {"token missing before request", "{}", "missing field `token`", " at line 1 column 2"},
      {"request missing", "{\"token\":\"t\"}", "missing field `request`", " at line 1 column 13"},
      {"missing field found before trailing bytes", "{\"token\":\"t\"} x", "missing field `request`", " at line 1 column 13"},
      {"token is a number", "{\"token\":5,\"request\":{\"cmd\":\"ping\"}}", "invalid type: integer `5`, expected a string for `token`", " at line 1 column 10"},
      {"token is null", "{\"token\":null,\"request\":{\"cmd\":\"ping\"}}", "invalid type: null, expected a string for `token`", " at line 1 column 13"},
      {"request is an array", "{\"token\":\"t\",\"request\":[\"ping\"]}", "invalid type: array, expected an object for `request`", " at line 1 column 24"},
      {"request is a string", "{\"token\":\"t\",\"request\":\"ping\"}", "invalid type: string \"ping\", expected an object for `request`", " at line 1 column 29"},
      {"cmd repeated with the same name", "{\"token\":\"t\",\"request\":{\"cmd\":\"ping\",\"cmd\":\"ping\"}}", "duplicate field `cmd`", " at line 1 column 42"},
      {"cmd in the wrong case", "{\"token\":\"t\",\"request\":{\"cmd\":\"Ping\"}}", "unknown variant `Ping`, expected one of `ping`, `status`, `provision_core`, `connect`, `disconnect`, `disconnect_owned`, `logs`", " at line 1 column 36"},
      {"cmd unknown", "{\"token\":\"t\",\"request\":{\"cmd\":\"restart\"}}", "unknown variant `restart`", " at line 1 column 39"},
      {"cmd is a number", "{\"token\":\"t\",\"request\":{\"cmd\":12}}", "invalid type: integer `12`, expected a string for `cmd`", " at line 1 column 32"},
      {"cmd is an object", "{\"token\":\"t\",\"request\":{\"cmd\":{\"name\":\"ping\"}}}", "invalid type: object, expected a string for `cmd`", " at line 1 column 31"},
      {"cmd missing", "{\"token\":\"t\",\"request\":{\"since\":1}}", "missing field `cmd`", " at line 1 column 34"},
      {"cmd missing from an empty request", "{\"token\":\"t\",\"request\":{}}", "missing field `cmd`", " at line 1 column 25"},
      {"connect without fields names config_json", "{\"token\":\"t\",\"request\":{\"cmd\":\"connect\"}}", "missing field `config_json`", " at line 1 column 40"},
      {"connect without kill_switch", "{\"token\":\"t\",\"request\":{\"cmd\":\"connect\",\"config_json\":\"{}\"}}", "missing field `kill_switch`", " at line 1 column 59"},
      {"connect with kill_switch only", "{\"token\":\"t\",\"request\":{\"kill_switch\":true,\"cmd\":\"connect\"}}", "missing field `config_json`", " at line 1 column 59"},
      {"config_json repeated", "{\"token\":\"t\",\"request\":{\"cmd\":\"connect\",\"config_json\":\"{}\",\"kill_switch\":true,\"config_json\":\"{}\"}}", "duplicate field `config_json`", " at line 1 column 97"},
      {"kill_switch repeated", "{\"token\":\"t\",\"request\":{\"cmd\":\"connect\",\"kill_switch\":true,\"config_json\":\"{}\",\"kill_switch\":true}}", "duplicate field `kill_switch`", " at line 1 column 97"},
      {"kill_switch as a string", "{\"token\":\"t\",\"request\":{\"cmd\":\"connect\",\"config_json\":\"{}\",\"kill_switch\":\"true\"}}", "invalid type: string \"true\", expected a boolean for `kill_switch`", " at line 1 column 80"},
      {"kill_switch as 1", "{\"token\":\"t\",\"request\":{\"cmd\":\"connect\",\"config_json\":\"{}\",\"kill_switch\":1}}", "invalid type: integer `1`, expected a boolean for `kill_switch`", " at line 1 column 75"},
      {"kill_switch as null", "{\"token\":\"t\",\"request\":{\"cmd\":\"connect\",\"config_json\":\"{}\",\"kill_switch\":null}}", "invalid type: null, expected a boolean for `kill_switch`", " at line 1 column 78"},
      {"config_json as an object", "{\"token\":\"t\",\"request\":{\"cmd\":\"connect\",\"config_json\":{\"log\":{}},\"kill_switch\":false}}", "invalid type: object, expected a string for `config_json`", " at line 1 column 85"},
      {"first failing pair decides", "{\"token\":\"t\",\"request\":{\"cmd\":\"connect\",\"kill_switch\":\"no\",\"config_json\":5}}", "expected a boolean for `kill_switch`", " at line 1 column 75"},
      {"provision_core without wintun_src", "{\"token\":\"t\",\"request\":{\"cmd\":\"provision_core\",\"core_src\":\"a\"}}", "missing field `wintun_src`", " at line 1 column 62"},
      {"core_src as an array", "{\"token\":\"t\",\"request\":{\"cmd\":\"provision_core\",\"core_src\":[\"a\"],\"wintun_src\":\"b\"}}", "invalid type: array, expected a string for `core_src`", " at line 1 column 81"},
      {"since above the maximum", "{\"token\":\"t\",\"request\":{\"cmd\":\"logs\",\"since\":18446744073709551616}}", "invalid value: integer `18446744073709551616`, expected an unsigned 64-bit integer for `since`", " at line 1 column 66"},
      {"since with a fraction", "{\"token\":\"t\",\"request\":{\"cmd\":\"logs\",\"since\":1.0}}", "invalid type: floating point `1.0`, expected an unsigned 64-bit integer for `since`", " at line 1 column 49"},
      {"since with an exponent", "{\"token\":\"t\",\"request\":{\"cmd\":\"logs\",\"since\":1e2}}", "invalid type: floating point `1e2`, expected an unsigned 64-bit integer for `since`", " at line 1 column 49"},
      {"since minus zero", "{\"token\":\"t\",\"request\":{\"cmd\":\"logs\",\"since\":-0}}", "invalid value: integer `-0`, expected an unsigned 64-bit integer for `since`", " at line 1 column 48"},
      {"since negative", "{\"token\":\"t\",\"request\":{\"cmd\":\"logs\",\"since\":-1}}", "invalid value: integer `-1`, expected an unsigned 64-bit integer for `since`", " at line 1 column 48"},
      {"since as a string", "{\"token\":\"t\",\"request\":{\"cmd\":\"logs\",\"since\":\"5\"}}", "invalid type: string \"5\", expected an unsigned 64-bit integer for `since`", " at line 1 column 49"},
      {"since missing", "{\"token\":\"t\",\"request\":{\"cmd\":\"logs\"}}", "missing field `since`", " at line 1 column 37"},
      {"authority missing", "{\"token\":\"t\",\"request\":{\"cmd\":\"disconnect_owned\"}}", "missing field `authority`", " at line 1 column 49"},
      {"authority repeated", "{\"token\":\"t\",\"request\":{\"cmd\":\"disconnect_owned\",\"authority\":{\"instance\":\"i\",\"generation\":1},\"authority\":{}}}", "duplicate field `authority`", " at line 1 column 108"},
      {"authority empty names instance first", "{\"token\":\"t\",\"request\":{\"cmd\":\"disconnect_owned\",\"authority\":{}}}", "missing field `instance`", " at line 1 column 64"},
      {"authority without generation", "{\"token\":\"t\",\"request\":{\"cmd\":\"disconnect_owned\",\"authority\":{\"instance\":\"i\"}}}", "missing field `generation`", " at line 1 column 78"},
      {"authority without instance", "{\"token\":\"t\",\"request\":{\"cmd\":\"disconnect_owned\",\"authority\":{\"generation\":1}}}", "missing field `instance`", " at line 1 column 78"},
      {"instance repeated", "{\"token\":\"t\",\"request\":{\"cmd\":\"disconnect_owned\",\"authority\":{\"instance\":\"i\",\"generation\":1,\"instance\":\"i\"}}}", "duplicate field `instance`", " at line 1 column 108"},
      {"generation repeated", "{\"token\":\"t\",\"request\":{\"cmd\":\"disconnect_owned\",\"authority\":{\"generation\":1,\"instance\":\"i\",\"generation\":1}}}", "duplicate field `generation`", " at line 1 column 108"},
      {"generation negative", "{\"token\":\"t\",\"request\":{\"cmd\":\"disconnect_owned\",\"authority\":{\"instance\":\"i\",\"generation\":-3}}}", "invalid value: integer `-3`, expected an unsigned 64-bit integer for `generation`", " at line 1 column 94"},
      {"instance as a number", "{\"token\":\"t\",\"request\":{\"cmd\":\"disconnect_owned\",\"authority\":{\"instance\":7,\"generation\":1}}}", "invalid type: integer `7`, expected a string for `instance`", " at line 1 column 91"},
      {"authority in array form", "{\"token\":\"t\",\"request\":{\"cmd\":\"disconnect_owned\",\"authority\":[\"i\",1]}}", "invalid type: array, expected an object for `authority`", " at line 1 column 69"},
      {"cmd error before an earlier field error", "{\"token\":\"t\",\"request\":{\"since\":\"x\",\"cmd\":\"Logs\"}}", "unknown variant `Logs`", " at line 1 column 48"},
      {"syntax error before an earlier field error", "{\"token\":\"t\",\"request\":{\"cmd\":\"logs\",\"since\":-1,\"x\":tru}}", "expected ident", " at line 1 column 56"},
      {"field error before the envelope's missing token", "{\"request\":{\"cmd\":\"logs\",\"since\":-1}}", "invalid value: integer `-1`", " at line 1 column 36"},
      {"field errors wait for the whole request", "{\"token\":\"t\",\"request\":{\"cmd\":\"logs\",\"since\":1.5,\"since\":2,\"x\":[1,]}}", "trailing comma", " at line 1 column 67"},
      {"position on a later line", "{\n  \"token\": \"t\",\n  \"request\": {\"cmd\": \"logs\", \"since\": -1}\n}", "invalid value: integer `-1`", " at line 3 column 41"},
      {"trailing comma in an ignored array", "{\"x\":[1,],\"token\":\"t\",\"request\":{\"cmd\":\"ping\"}}", "trailing comma", " at line 1 column 9"},
      {"trailing comma in an ignored object", "{\"x\":{\"a\":1,},\"token\":\"t\",\"request\":{\"cmd\":\"ping\"}}", "trailing comma", " at line 1 column 13"},
      {"ignored key without a colon", "{\"x\":{\"a\" 1},\"token\":\"t\",\"request\":{\"cmd\":\"ping\"}}", "expected `:`", " at line 1 column 11"},
      {"ignored object with a bare key", "{\"x\":{a:1},\"token\":\"t\",\"request\":{\"cmd\":\"ping\"}}", "key must be a string", " at line 1 column 7"},
      {"missing comma in an ignored array", "{\"x\":[1 2],\"token\":\"t\",\"request\":{\"cmd\":\"ping\"}}", "expected `,` or `]`", " at line 1 column 9"},
      {"missing comma in the request", "{\"token\":\"t\",\"request\":{\"cmd\":\"ping\" \"x\":1}}", "expected `,` or `}`", " at line 1 column 38"},
      {"unclosed envelope", "{\"token\":\"t\",\"request\":{\"cmd\":\"ping\"}", "EOF while parsing an object", " at line 1 column 37"},
      {"unclosed string", "{\"token\":\"t", "EOF while parsing a string", " at line 1 column 11"},
      {"ignored value: leading zero", "{\"x\":01,\"token\":\"t\",\"request\":{\"cmd\":\"ping\"}}", "invalid number", " at line 1 column 7"},
      {"ignored value: plus sign", "{\"x\":+1,\"token\":\"t\",\"request\":{\"cmd\":\"ping\"}}", "expected value", " at line 1 column 6"},
      {"ignored value: hexadecimal", "{\"x\":0x1,\"token\":\"t\",\"request\":{\"cmd\":\"ping\"}}", "expected `,` or `}`", " at line 1 column 7"},
      {"ignored value: fraction without digits", "{\"x\":1.},\"token\":\"t\",\"request\":{\"cmd\":\"ping\"}}", "invalid number", " at line 1 column 8"},
      {"ignored value: exponent without digits", "{\"x\":1e},\"token\":\"t\",\"request\":{\"cmd\":\"ping\"}}", "invalid number", " at line 1 column 8"},
      {"ignored value: bare minus", "{\"x\":-},\"token\":\"t\",\"request\":{\"cmd\":\"ping\"}}", "invalid number", " at line 1 column 7"},
      {"ignored value: leading dot", "{\"x\":.5,\"token\":\"t\",\"request\":{\"cmd\":\"ping\"}}", "expected value", " at line 1 column 6"},
      {"ignored value: literal in capitals", "{\"x\":True,\"token\":\"t\",\"request\":{\"cmd\":\"ping\"}}", "expected value", " at line 1 column 6"},
      {"ignored value: cut literal", "{\"x\":nul},\"token\":\"t\",\"request\":{\"cmd\":\"ping\"}}", "expected ident", " at line 1 column 9"},
      {"raw tab in a string", "{\"token\":\"a\tb\",\"request\":{\"cmd\":\"ping\"}}", "control character", " at line 1 column 12"},
      {"raw line feed in a string", "{\"token\":\"a\nb\",\"request\":{\"cmd\":\"ping\"}}", "control character", " at line 2 column 0"},
      {"unknown escape", "{\"token\":\"a\\x\",\"request\":{\"cmd\":\"ping\"}}", "invalid escape", " at line 1 column 13"},
      {"short unicode escape", "{\"token\":\"\\u12\",\"request\":{\"cmd\":\"ping\"}}", "invalid escape", " at line 1 column 15"},
      {"lone leading surrogate", "{\"token\":\"\\ud800\",\"request\":{\"cmd\":\"ping\"}}", "lone leading surrogate", " at line 1 column 17"},
      {"leading surrogate before a non-surrogate", "{\"token\":\"\\ud800\\u0041\",\"request\":{\"cmd\":\"ping\"}}", "lone leading surrogate", " at line 1 column 22"},
      {"lone trailing surrogate", "{\"token\":\"\\udc00\",\"request\":{\"cmd\":\"ping\"}}", "lone trailing surrogate", " at line 1 column 16"},
      {"invalid UTF-8: stray continuation byte", "{\"token\":\"a\x80\",\"request\":{\"cmd\":\"ping\"}}", "invalid UTF-8 in string", " at line 1 column 12"},
      {"invalid UTF-8: cut two-byte sequence", "{\"token\":\"a\xc3(\",\"request\":{\"cmd\":\"ping\"}}", "invalid UTF-8 in string", " at line 1 column 12"},
      {"invalid UTF-8: overlong encoding", "{\"token\":\"a\xc0\xaf\",\"request\":{\"cmd\":\"ping\"}}", "invalid UTF-8 in string", " at line 1 column 12"},
      {"invalid UTF-8: encoded surrogate", "{\"token\":\"a\xed\xa0\x80\",\"request\":{\"cmd\":\"ping\"}}", "invalid UTF-8 in string", " at line 1 column 12"},
      {"invalid UTF-8: above U+10FFFF", "{\"token\":\"a\xf4\x90\x80\x80\",\"request\":{\"cmd\":\"ping\"}}", "invalid UTF-8 in string", " at line 1 column 12"},
      {"invalid UTF-8 in an ignored value", "{\"x\":\"\xff\",\"token\":\"t\",\"request\":{\"cmd\":\"ping\"}}", "invalid UTF-8 in string", " at line 1 column 7"},
  };
  for (const Refused& c : cases) {
    SCOPED_TRACE(c.name);
    const Result<Envelope> r = deserialize_envelope(c.text);
    ASSERT_FALSE(r.has_value());
    const std::string message = r.error().full();
    EXPECT_THAT(message, ::testing::HasSubstr(c.description));
    EXPECT_THAT(message, ::testing::EndsWith(c.position));
    // The position is the only suffix: the description itself carries none.
    EXPECT_EQ(message.find(" at line "), message.size() - c.position.size());
  }
}

TEST(WireRead, UnknownVariantListsTheSevenNamesInOrder) {
  EXPECT_THAT(deserialize_envelope(R"({"token":"t","request":{"cmd":"Ping"}})"),
              testing::FailsExactly("unknown variant `Ping`, expected one of `ping`, `status`, `provision_core`, "
                                    "`connect`, `disconnect`, `disconnect_owned`, `logs` at line 1 column 36"));
}

}  // namespace
}  // namespace vorn
