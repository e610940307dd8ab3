// Writing the reply line: the envelope's key order, the string escaping and
// the sorted keys of the data.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "helper_service/wire.hpp"

namespace vorn {
namespace {

TEST(WireWrite, ReplyLines) {
  struct Case {
    const char* name;
    Response response;
    std::string line;
  } cases[] = {
      {"ping", ResponseOk{ping_data()}, R"({"status":"ok","data":{"pong":true,"version":"0.12.12"}})"},
      {"provisioned", ResponseOk{provisioned_data()}, R"({"status":"ok","data":{"provisioned":true}})"},
      {"disconnected", ResponseOk{disconnected_data()}, R"({"status":"ok","data":{"disconnected":true}})"},
      {"unauthorized", ResponseUnauthorized{}, R"({"status":"unauthorized"})"},
      {"error", ResponseError{"bad request: missing field `token` at line 1 column 2"},
       R"({"status":"error","message":"bad request: missing field `token` at line 1 column 2"})"},
      {"null data", ResponseOk{Json(nullptr)}, R"({"status":"ok","data":null})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(serialize_response(c.response), c.line);
  }
}

TEST(WireWrite, EscapesOnlyQuotesBackslashesAndControlBytes) {
  std::string controls;
  for (int c = 0; c < 0x20; ++c) controls += static_cast<char>(c);
  const std::string message = "q\" b\\ s/ del\x7f \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 " + controls;
  const std::string written =
      "q\\\" b\\\\ s/ del\x7f \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 "
      "\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r\\u000e\\u000f"
      "\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018\\u0019\\u001a\\u001b\\u001c\\u001d\\u001e\\u001f";
  const std::string line = serialize_response(ResponseError{message});
  EXPECT_EQ(line, R"({"status":"error","message":")" + written + "\"}");
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(line.find('\r'), std::string::npos);
}

TEST(WireWrite, InvalidUtf8IsReplacedNotThrown) {
  const std::string fffd = "\xef\xbf\xbd";
  struct Case {
    std::string in, out;
  } cases[] = {
      {"a\xff"
       "b",
       "a" + fffd + "b"},
      {"cut at the end \xc3", "cut at the end " + fffd},
      {"\xe2\x82x", fffd + "x"},
      {"\xc0\xaf", fffd + fffd},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(serialize_response(ResponseError{c.in}), R"({"status":"error","message":")" + c.out + "\"}");
  }
  EXPECT_EQ(serialize_response(ResponseOk{Json{{"k\xff", Json::array({"\xc3"})}}}),
            R"({"status":"ok","data":{"k)" + fffd + R"(":[")" + fffd + R"("]}})");
}

TEST(WireWrite, DataKeysAreSortedByBytesAtEveryDepth) {
  Json data = Json::object();
  data["running"] = true;
  data["run_start_ack"] = 1;
  data["run_generation"] = 18446744073709551615ull;
  data["nested"] = Json{{"b", 1}, {"a", Json{{"z", 0}, {"Z", 0}, {"\xc3\xa9", 0}}}, {"ab", 2}};
  EXPECT_EQ(serialize_response(ResponseOk{data}),
            R"({"status":"ok","data":{"nested":{"a":{"Z":0,"z":0,")"
            "\xc3\xa9"
            R"(":0},"ab":2,"b":1},"run_generation":18446744073709551615,"run_start_ack":1,"running":true}})");
}

}  // namespace
}  // namespace vorn
