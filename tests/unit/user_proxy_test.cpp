#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "support/matchers.hpp"
#include "user_proxy/user_proxy_inbound.hpp"

namespace vorn {
namespace {

using testing::FailsExactly;

constexpr const char* kInvalid = "helper: invalid user loopback proxy";
constexpr const char* kCredentials = "invalid proxy credentials";

Json proxy(const std::string& extra, const std::string& port = "2080") {
  return Json::parse(R"({"tag":"vorn-user-proxy","type":"mixed","listen":"127.0.0.1","listen_port":)" + port + extra + "}");
}

// "" when the inbound is not the user proxy, else the rebuilt inbound or the error.
std::string outcome(const Json& inbound) {
  const auto r = normalize_user_proxy_inbound(inbound);
  if (!r) return "error: " + r.error().full();
  return *r ? (*r)->dump() : "";
}

TEST(UserProxy, OnlyTheExactTagIsTheUserProxy) {
  for (const char* inbound : {R"({"tag":"Vorn-User-Proxy","type":"socks"})", R"({"tag":"vorn-user-proxy ","listen":"0.0.0.0"})",
                              R"({"tag":["vorn-user-proxy"]})", R"({"type":"mixed"})", R"("vorn-user-proxy")", R"(null)"}) {
    EXPECT_EQ(outcome(Json::parse(inbound)), "") << inbound;
  }
}

TEST(UserProxy, TakesOnlyUsablePorts) {
  struct Case {
    const char* port;
    bool taken;
  } cases[] = {
      {"1023", false}, {"1024", true},   {"8080", true},   {"9089", true},    {"9090", false},  {"9091", true},
      {"19089", true}, {"19090", false}, {"19100", false}, {"19129", false},  {"19130", true},  {"65535", true},
      {"65536", false}, {"0", false},    {"8080.0", false}, {"-8080", false}, {"\"8080\"", false}, {"null", false},
      {"18446744073709551615", false},  {"18446744073734551615", false},  // a float beyond 64 bits
  };
  for (const auto& c : cases) {
    const std::string got = outcome(proxy("", c.port));
    if (c.taken) {
      EXPECT_EQ(got, std::string(R"({"listen":"127.0.0.1","listen_port":)") + c.port + R"(,"tag":"vorn-user-proxy","type":"mixed"})");
    } else {
      EXPECT_EQ(got, std::string("error: ") + kInvalid) << c.port;
    }
  }
  EXPECT_EQ(outcome(Json::parse(R"({"tag":"vorn-user-proxy","type":"mixed","listen":"127.0.0.1"})")), std::string("error: ") + kInvalid);
}

TEST(UserProxy, RefusesOtherTypesAndListenAddresses) {
  for (const char* inbound : {R"({"tag":"vorn-user-proxy","type":"socks","listen":"127.0.0.1","listen_port":2080})",
                              R"({"tag":"vorn-user-proxy","type":"Mixed","listen":"127.0.0.1","listen_port":2080})",
                              R"({"tag":"vorn-user-proxy","listen":"127.0.0.1","listen_port":2080})",
                              R"({"tag":"vorn-user-proxy","type":"mixed","listen":"localhost","listen_port":2080})",
                              R"({"tag":"vorn-user-proxy","type":"mixed","listen":"::1","listen_port":2080})",
                              R"({"tag":"vorn-user-proxy","type":"mixed","listen":"0.0.0.0","listen_port":2080})",
                              R"({"tag":"vorn-user-proxy","type":"mixed","listen":" 127.0.0.1","listen_port":2080})",
                              R"({"tag":"vorn-user-proxy","type":"mixed","listen_port":2080})"}) {
    EXPECT_THAT(normalize_user_proxy_inbound(Json::parse(inbound)), FailsExactly(kInvalid)) << inbound;
  }
}

std::string users(const std::string& name, const std::string& pass) {
  return R"(,"users":[{"username":)" + Json(name).dump() + R"(,"password":)" + Json(pass).dump() + "}]";
}

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(UserProxy, ChecksCredentialsInUtf8Bytes) {
  const std::string two_byte = "\xd0\xb6";  // ж
  struct Case {
    std::string extra;
    bool taken;
  } cases[] = {
      {users("u", "p"), true},
      {users(repeat("a", 256), repeat(two_byte, 128)), true},
      {users(repeat("a", 257), "p"), false},
      {users("u", repeat(two_byte, 129)), false},
      {users("", "p"), false},
      {users("u", ""), false},
      {R"(,"users":null)", false},
      {R"(,"users":[])", false},
      {R"(,"users":{"username":"u","password":"p"})", false},
      {R"(,"users":[{"username":"u","password":"p"},{"username":"v","password":"q"}])", false},
      {R"(,"users":[{"username":"u"}])", false},
      {R"(,"users":[{"username":"u","password":1}])", false},
      {R"(,"users":[["u","p"]])", false},
  };
  for (const auto& c : cases) {
    const auto r = normalize_user_proxy_inbound(proxy(c.extra));
    if (c.taken) {
      ASSERT_TRUE(r && *r) << c.extra;
      EXPECT_EQ((**r)["users"], proxy(c.extra)["users"]) << c.extra;
    } else {
      EXPECT_THAT(r, FailsExactly(kCredentials)) << c.extra;
    }
  }
}

TEST(UserProxy, PortIsCheckedBeforeCredentials) {
  EXPECT_THAT(normalize_user_proxy_inbound(proxy(R"(,"users":[])", "9090")), FailsExactly(kInvalid));
}

TEST(UserProxy, RebuildsFromTheAllowedKeysOnly) {
  const Json inbound = proxy(R"(,"sniff":true,"listen_ipv6":"::1","set_system_proxy":true,)"
                             R"("users":[{"username":"u","password":"p","level":9}])");
  EXPECT_EQ(outcome(inbound),
            R"({"listen":"127.0.0.1","listen_port":2080,"tag":"vorn-user-proxy","type":"mixed",)"
            R"("users":[{"password":"p","username":"u"}]})");
}

}  // namespace
}  // namespace vorn
