// Distinct endpoints counted exactly while few, estimated within a few per cent
// once there are more than the exact set may hold.
#include "track/endpoint_tally.h"

#include <gtest/gtest.h>

#include "track/addr_pool.h"

namespace {

Endpoint nth(uint32_t n) { return Endpoint{IpAddr{n * 2654435761u}, static_cast<uint16_t>(n)}; }

// IPv4 endpoints read nothing from the pool.
const AddrPool NO_ADDRESSES;

TEST(EndpointTally, ExactWhileFewAndRepeatsCountOnce) {
  EndpointTally t;
  EXPECT_EQ(t.count(), 0u);
  const uint32_t half = EndpointTally::EXACT_LIMIT / 2;
  for (int round = 0; round < 3; round++)
    for (uint32_t n = 0; n < half; n++) t.add(nth(n), NO_ADDRESSES);
  EXPECT_EQ(t.count(), half);
  EXPECT_FALSE(t.estimated());
  for (uint32_t n = half; n < EndpointTally::EXACT_LIMIT; n++) t.add(nth(n), NO_ADDRESSES);
  EXPECT_EQ(t.count(), EndpointTally::EXACT_LIMIT);
  EXPECT_FALSE(t.estimated());
}

TEST(EndpointTally, EstimatedBeyondTheExactLimit) {
  for (uint32_t total : {5000u, 20000u, 60000u, 1000000u}) {
    EndpointTally t;
    for (int round = 0; round < 2; round++)
      for (uint32_t n = 0; n < total; n++) t.add(nth(n), NO_ADDRESSES);
    EXPECT_TRUE(t.estimated());
    // 0.8 % standard error: 3 % is far outside any seeded run's luck.
    EXPECT_NEAR(static_cast<double>(t.count()), total, total * 0.03) << total;
  }
}

// An IPv6 endpoint is counted by its address, not by the pool number its segment
// had: a number freed and given to another address counts as another endpoint, and
// an address seen again under a new number as the same one.
TEST(EndpointTally, Ipv6EndpointsCountedByAddress) {
  AddrPool p;
  Ip6Addr a, b;
  a.bytes[0] = b.bytes[0] = 0x20;
  a.bytes[15] = 1;
  b.bytes[15] = 2;
  EndpointTally t;
  const uint32_t n = pool_intern(p, a);
  t.add(Endpoint{IpAddr{n}, 5555, Family::IPV6}, p);
  t.add(Endpoint{IpAddr{n}, 5556, Family::IPV6}, p);
  t.add(Endpoint{IpAddr{n}, 5555, Family::IPV4}, p);  // four bytes equal to the number
  pool_release(p, n);
  ASSERT_EQ(pool_intern(p, b), n);  // the number now names b
  t.add(Endpoint{IpAddr{n}, 5555, Family::IPV6}, p);
  const uint32_t again = pool_intern(p, a);
  ASSERT_NE(again, n);
  t.add(Endpoint{IpAddr{again}, 5555, Family::IPV6}, p);
  EXPECT_EQ(t.count(), 4u);
}

}  // namespace
