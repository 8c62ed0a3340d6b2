// Address pool: one number per distinct IPv6 address while anything holds it, freed
// by the last holder and reused, never the number that means "no address".
#include "track/addr_pool.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace {

// A fresh pool for every test.
class AddrPoolTest : public ::testing::Test {
 protected:
  AddrPool p;
};

Ip6Addr addr(uint32_t n) {
  Ip6Addr a;
  a.bytes[0] = 0x20;
  a.bytes[1] = 0x01;
  for (int i = 0; i < 4; ++i) a.bytes[12 + i] = static_cast<uint8_t>(n >> (24 - 8 * i));
  return a;
}

TEST_F(AddrPoolTest, HoldersShareANumberAndTheLastOneFreesIt) {
  const uint32_t a = pool_intern(p, addr(1));
  EXPECT_NE(a, AddrPool::NO_NUMBER);
  EXPECT_EQ(pool_intern(p, addr(1)), a);
  pool_hold(p, a);
  const uint32_t b = pool_intern(p, addr(2));
  EXPECT_NE(b, a);
  EXPECT_EQ(p.size, 2u);
  for (int holders = 3; holders > 0; --holders) {
    EXPECT_EQ(pool_address(p, a), addr(1));
    pool_release(p, a);
  }
  EXPECT_EQ(p.size, 1u);
  // The freed number goes to the next new address; the old address is new again.
  EXPECT_EQ(pool_intern(p, addr(3)), a);
  EXPECT_EQ(pool_address(p, a), addr(3));
  EXPECT_NE(pool_intern(p, addr(1)), a);
  EXPECT_EQ(pool_address(p, b), addr(2));
}

TEST_F(AddrPoolTest, AgreesWithAMapThroughGrowthAndReuse) {
  std::mt19937 rng(7);
  std::map<uint32_t, std::pair<uint32_t, int>> model;  // address -> number, holders
  // More addresses than one chunk holds, held once each...
  const uint32_t many = AddrPool::CHUNK_SIZE + 1000;
  for (uint32_t a = 0; a < many; ++a) model[a] = {pool_intern(p, addr(a)), 1};
  // ... then held and let go at random, from a space small enough to come back.
  for (int step = 0; step < 200000; ++step) {
    const uint32_t a = rng() % (many + 50000);
    auto it = model.find(a);
    if (it == model.end() || rng() % 2 == 0) {
      const uint32_t n = pool_intern(p, addr(a));
      ASSERT_NE(n, AddrPool::NO_NUMBER);
      if (it == model.end()) {
        model[a] = {n, 1};
      } else {
        ASSERT_EQ(n, it->second.first);
        it->second.second++;
      }
    } else {
      pool_release(p, it->second.first);
      if (--it->second.second == 0) model.erase(it);
    }
  }
  ASSERT_EQ(p.size, model.size());
  for (const auto& [a, held] : model) {
    ASSERT_EQ(pool_address(p, held.first), addr(a));
    ASSERT_EQ(pool_intern(p, addr(a)), held.first);
  }
  EXPECT_GT(p.chunks.size(), 1u);
}

}  // namespace
