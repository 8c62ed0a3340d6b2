// Connection table: lookups, stable record addresses, reuse of freed records, the
// walks, and prepared lookups whose guesses have gone stale.
#include "track/conn_table.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "track/addr_pool.h"

namespace {

// A fresh table (and the pool its IPv6 records hold addresses in) for every test.
class ConnTableTest : public ::testing::Test {
 protected:
  void fresh() {
    table_.reset();
    pool_ = std::make_unique<AddrPool>();
    table_ = std::make_unique<ConnTable>(*pool_);
  }
  void SetUp() override { fresh(); }
  ConnTable& t() { return *table_; }
  AddrPool& pool() { return *pool_; }

 private:
  std::unique_ptr<AddrPool> pool_;
  std::unique_ptr<ConnTable> table_;
};

Endpoint ep(uint32_t addr, uint16_t port) { return Endpoint{IpAddr{addr}, port}; }

ConnInfo* insert(ConnTable& t, uint32_t addr, uint16_t port) {
  bool inserted;
  return conn_find_or_insert(t, ep(addr, port), &inserted).info;
}

// Each record carries its own endpoint in nsyns, so a walk can tell which it saw.
uint64_t mark(uint32_t addr, uint32_t port) { return static_cast<uint64_t>(addr) << 32 | port; }

TEST_F(ConnTableTest, AgreesWithAMapThroughGrowthAndReuse) {
  std::mt19937 rng(11);
  std::map<std::pair<uint32_t, uint16_t>, ConnInfo*> model;  // endpoint -> its record
  for (int step = 0; step < 200000; step++) {
    // A small address space, so that endpoints come back after being erased.
    const uint32_t addr = rng() % 4096;
    const uint16_t port = static_cast<uint16_t>(rng() % 64);
    auto it = model.find({addr, port});
    if (rng() % 3 != 0) {
      bool inserted;
      ConnInfo* rec = conn_find_or_insert(t(), ep(addr, port), &inserted).info;
      ASSERT_EQ(inserted, it == model.end());
      if (inserted) {
        EXPECT_EQ(rec->client, ep(addr, port));  // filed under its endpoint
        rec->nsyns = mark(addr, port);
        model[{addr, port}] = rec;
      } else {
        ASSERT_EQ(rec, it->second);  // the record has not moved
      }
    } else {
      conn_erase(t(), ep(addr, port));
      if (it != model.end()) model.erase(it);
    }
    if (step % 20000 == 0 || step == 199999) {
      ASSERT_EQ(conn_count(t()), model.size());
      for (const auto& [endpoint, rec] : model)
        ASSERT_EQ(conn_find(t(), ep(endpoint.first, endpoint.second)).info, rec);
      std::set<uint64_t> walked;
      conn_for_each(t(), [&](const ConnInfo& rec) { walked.insert(rec.nsyns); });
      ASSERT_EQ(walked.size(), model.size());
      for (const auto& entry : model)
        ASSERT_TRUE(walked.count(mark(entry.first.first, entry.first.second)));
    }
  }
  // Freed records were reused: the store never held more than the peak.
  EXPECT_LE(t().used, 4096u * 64u);
}

TEST_F(ConnTableTest, FreedRecordIsReusedFirst) {
  insert(t(), 1, 1);
  ConnInfo* second = insert(t(), 2, 2);
  insert(t(), 3, 3);
  conn_erase(t(), ep(2, 2));
  ConnInfo* fresh = insert(t(), 4, 4);
  EXPECT_EQ(fresh, second);
  EXPECT_EQ(fresh->nsyns, 0u);  // zeroed again
  EXPECT_EQ(conn_find(t(), ep(2, 2)).info, nullptr);
  EXPECT_EQ(conn_count(t()), 3u);
}

TEST_F(ConnTableTest, StaleGuessesNeverGiveAWrongRecord) {
  struct Case {
    const char* name;
    // What happens between preparing the lookup of endpoint (1, 1) and the handler.
    void (*meanwhile)(ConnTable& t);
    uint32_t find_addr;  // what the handler looks up
    uint16_t find_port;
    bool expect_found;
    uint64_t expect_mark;  // nsyns of the record it must get
  } cases[] = {
      {"record erased", [](ConnTable& t) { conn_erase(t, ep(1, 1)); }, 1, 1, false, 0},
      {"record erased, slot reused by another endpoint",
       [](ConnTable& t) {
         conn_erase(t, ep(1, 1));
         insert(t, 9, 9)->nsyns = 99;
       },
       1, 1, false, 0},
      {"slot reused, the other endpoint looked up",
       [](ConnTable& t) {
         conn_erase(t, ep(1, 1));
         insert(t, 9, 9)->nsyns = 99;
       },
       9, 9, true, 99},
      {"erased and inserted again",
       [](ConnTable& t) {
         conn_erase(t, ep(1, 1));
         insert(t, 2, 2)->nsyns = 22;
         insert(t, 1, 1)->nsyns = 111;
       },
       1, 1, true, 111},
      {"another endpoint looked up", [](ConnTable&) {}, 2, 2, true, 22},
      {"nothing changed", [](ConnTable&) {}, 1, 1, true, 11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fresh();
    insert(t(), 1, 1)->nsyns = 11;
    insert(t(), 2, 2)->nsyns = 22;
    ConnLookup lookup;
    conn_prepare(t(), &lookup, ep(1, 1));
    conn_locate(t(), &lookup);
    c.meanwhile(t());
    conn_set_hint(t(), &lookup);
    const ConnInfo* rec = conn_find(t(), ep(c.find_addr, c.find_port)).info;
    conn_set_hint(t(), nullptr);
    ASSERT_EQ(rec != nullptr, c.expect_found);
    if (rec != nullptr) {
      EXPECT_EQ(rec->nsyns, c.expect_mark);
    }
  }
}

TEST_F(ConnTableTest, PreparedLookupOfANewEndpointStillInserts) {
  ConnLookup lookup;
  conn_prepare(t(), &lookup, ep(5, 5));
  conn_locate(t(), &lookup);
  EXPECT_EQ(lookup.record, ConnTable::NO_RECORD);
  conn_set_hint(t(), &lookup);
  bool inserted;
  ConnInfo* rec = conn_find_or_insert(t(), ep(5, 5), &inserted).info;
  EXPECT_TRUE(inserted);
  // Found again under the same (now stale) guess, and erased through it.
  EXPECT_EQ(conn_find_or_insert(t(), ep(5, 5), &inserted).info, rec);
  EXPECT_FALSE(inserted);
  conn_erase(t(), ep(5, 5));
  conn_set_hint(t(), nullptr);
  EXPECT_EQ(conn_find(t(), ep(5, 5)).info, nullptr);
  EXPECT_EQ(conn_count(t()), 0u);
}

// IPv6 records live in the same table, hold their addresses in the pool while they
// exist, are told from IPv4 ones with the same four bytes and port, and are listed
// after every IPv4 record, by address and then port.
TEST_F(ConnTableTest, Ipv6RecordsShareTheTableAndListAfterIpv4) {
  Ip6Addr low, high, server;
  low.bytes[0] = high.bytes[0] = server.bytes[0] = 0x20;
  low.bytes[15] = 1;
  high.bytes[14] = 1;  // larger as a 128-bit number, though its last byte is 0
  server.bytes[15] = 0x50;
  const uint32_t n_high = pool_intern(pool(), high), n_low = pool_intern(pool(), low);
  const Endpoint v6[] = {{IpAddr{n_high}, 5, Family::IPV6},
                         {IpAddr{n_low}, 9, Family::IPV6},
                         {IpAddr{n_low}, 7, Family::IPV6}};
  for (const Endpoint& e : v6) insert(t(), e.addr.raw, e.port)->nsyns = 4;  // IPv4 twins
  for (const Endpoint& e : v6) {
    bool inserted;
    ConnInfo* rec = conn_find_or_insert(t(), e, &inserted).info;
    ASSERT_TRUE(inserted);
    rec->nsyns = 6;
  }
  pool_release(pool(), n_high);
  pool_release(pool(), n_low);
  EXPECT_EQ(conn_count(t()), 6u);
  EXPECT_EQ(pool().size, 2u);  // held by the records alone

  const std::vector<const ConnInfo*> listed = conns_in_key_order(t());
  ASSERT_EQ(listed.size(), 6u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(listed[i]->nsyns, 4u) << i;
  EXPECT_EQ(listed[3]->client, v6[2]);
  EXPECT_EQ(listed[4]->client, v6[1]);
  EXPECT_EQ(listed[5]->client, v6[0]);

  // A closing record also holds its first FIN's sender until it is erased.
  const uint32_t n_server = pool_intern(pool(), server);
  conn_set_fin_sender(t(), conn_find(t(), v6[0]).info, Endpoint{IpAddr{n_server}, 80, Family::IPV6});
  pool_release(pool(), n_server);
  EXPECT_EQ(pool().size, 3u);
  for (const Endpoint& e : v6) conn_erase(t(), e);
  EXPECT_EQ(pool().size, 0u);
  EXPECT_EQ(conn_count(t()), 3u);
}

}  // namespace
