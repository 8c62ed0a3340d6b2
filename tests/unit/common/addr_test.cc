// Address text: the dotted form inet_ntoa() prints, for every byte value in every
// position.
#include "common/addr.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
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
    ASSERT_EQ(std::string(addr_text(IpAddr{raw}).text), inet_ntoa(in)) << raw;
  }
  EXPECT_STREQ(addr_text(IpAddr{0xffffffffu}).text, "255.255.255.255");
}

}  // namespace
