// Address texts: dotted IPv4 from the packet's bytes, and IPv6 in the one form RFC
// 5952 recommends, whatever form the address was written in.
#include "common/addr.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>

namespace {

TEST(AddrText, DottedAsInetNtoaPrintsIt) {
  std::mt19937 rng(3);
  for (uint32_t i = 0; i < 70000; ++i) {
    // Every byte value in each position, then random addresses.
    const uint32_t raw = i < 1024 ? (i & 0xff) << (8 * (i >> 8)) : static_cast<uint32_t>(rng());
    struct in_addr in;
    in.s_addr = raw;
    ASSERT_EQ(std::string(ipv4_text(IpAddr{raw}).text), inet_ntoa(in)) << raw;
  }
  EXPECT_STREQ(ipv4_text(IpAddr{0xffffffffu}).text, "255.255.255.255");
}

Ip6Addr parse6(const char* text) {
  Ip6Addr a;
  EXPECT_EQ(inet_pton(AF_INET6, text, a.bytes), 1) << text;
  return a;
}

TEST(AddrText, Ipv4IsDottedFromThePacketBytes) {
  const unsigned char bytes[4] = {10, 1, 2, 255};
  IpAddr a;
  std::memcpy(&a.raw, bytes, 4);
  EXPECT_STREQ(ipv4_text(a).text, "10.1.2.255");
}

TEST(AddrText, Ipv6FollowsRfc5952) {
  const struct {
    const char* written;
    const char* text;
  } cases[] = {
      {"2001:0DB8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},  // lower case, no zeros
      {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},               // the first of two equal runs
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},            // one zero group stays
      {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},                     // the longest run
      {"0:0:0:0:0:0:0:0", "::"},
      {"0:0:0:0:0:0:0:1", "::1"},
      {"fe80:0:0:0:0:0:0:0", "fe80::"},
      {"::ffff:10.0.0.1", "::ffff:10.0.0.1"},  // IPv4-mapped: dotted at the end
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(ipv6_text(parse6(c.written)).text, c.text) << c.written;
    EXPECT_EQ(std::string(ipv6_text(parse6(c.written), true).text), std::string("[") + c.text + "]")
        << c.written;
  }
}

}  // namespace
