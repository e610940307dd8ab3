#include <gtest/gtest.h>

#include <string>

#include "tun/ip_address.hpp"

namespace vorn {
namespace {

// Parses and writes back in canonical form; "" for a refused text.
std::string round_trip(const std::string& text) {
  const auto address = parse_ip_address(text);
  return address ? format_ip_address(*address) : "";
}

TEST(IpAddress, ParsesLiteralsAndWritesTheCanonicalForm) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"0.0.0.0", "0.0.0.0"},
      {"255.255.255.255", "255.255.255.255"},
      {"192.168.1.77", "192.168.1.77"},
      {"::", "::"},
      {"::1", "::1"},
      {"1::", "1::"},
      {"2001:DB8::", "2001:db8::"},
      {"2001:0db8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},
      {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},      // first of two equal runs
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},   // a single zero group stays
      {"0:0:1:0:0:0:1:0", "0:0:1::1:0"},                  // the longer run wins
      {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"},
      {"::2:3:4:5:6:7:8", "0:2:3:4:5:6:7:8"},
      {"fe80::1", "fe80::1"},
      {"::ffff:10.1.2.3", "::ffff:10.1.2.3"},
      {"::FFFF:a01:203", "::ffff:10.1.2.3"},              // mapped, written dotted
      {"::10.1.2.3", "::a01:203"},                        // compatible form is not mapped
      {"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304"},
      {"64:ff9b::192.0.2.33", "64:ff9b::c000:221"},
  };
  for (const auto& c : cases) EXPECT_EQ(round_trip(c.in), c.out) << c.in;
}

TEST(IpAddress, RefusesEverythingButALiteral) {
  for (const char* bad : {"", " 1.2.3.4", "1.2.3.4 ", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.-4", "01.2.3.4", "1.2.3.04",
                          "1234.1.1.1", "0x1.2.3.4", "localhost", "gateway", "1.2.3.4:80", ":", ":::", "1:2", "1::2::3",
                          "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7:8::", "::1:2:3:4:5:6:7:8", "12345::", "g::", "1:", ":1",
                          "1::2:", "fe80::1%eth0", "[::1]", "::1/128", "1.2.3.4::", "::1.2.3.4:5", "1:2:3:4:5:6:7:1.2.3.4",
                          "::1.2.3", "+1::"}) {
    EXPECT_EQ(parse_ip_address(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(parse_ip_address(std::string_view("1.2.3.4\0", 8)), std::nullopt);
  EXPECT_EQ(parse_ip_address(std::string_view("::1\0", 4)), std::nullopt);
}

TEST(IpAddress, ClearsHostBits) {
  const auto prefix = [](const char* text, unsigned length) { return format_ip_prefix(clear_host_bits(*parse_ip_address(text), length), length); };
  EXPECT_EQ(prefix("10.1.2.3", 8), "10.0.0.0/8");
  EXPECT_EQ(prefix("10.1.2.3", 32), "10.1.2.3/32");
  EXPECT_EQ(prefix("192.168.1.77", 27), "192.168.1.64/27");
  EXPECT_EQ(prefix("255.255.255.255", 1), "128.0.0.0/1");
  EXPECT_EQ(prefix("2001:db8:ffff::1", 33), "2001:db8:8000::/33");
  EXPECT_EQ(prefix("fd56:6f72:6e00::1", 126), "fd56:6f72:6e00::/126");
  EXPECT_EQ(prefix("::ffff:10.1.2.3", 104), "::ffff:10.0.0.0/104");
  EXPECT_EQ(prefix("::ffff:10.1.2.3", 80), "::/80");  // the mapping marker itself is cleared
  EXPECT_EQ(address_bits(*parse_ip_address("1.2.3.4")), 32u);
  EXPECT_EQ(address_bits(*parse_ip_address("::")), 128u);
}

}  // namespace
}  // namespace vorn
