// Endpoint index: searches, insertions and erasures against a plain map, with tags
// chosen to force the hard cases (equal tags, clusters that wrap around the end,
// erasures inside a cluster) and with random endpoints through growth.
#include "track/endpoint_index.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <vector>

namespace {

// Records 0..n-1 filed under tags[record]; a record matches when it is the one
// looked for (the store's key check, here by number).
struct Model {
  EndpointIndex x;
  std::map<uint32_t, uint32_t> tag_of_record;  // records present

  ~Model() { index_clear(x); }
  void insert(uint32_t record, uint32_t tag) {
    index_insert(x, tag, record);
    tag_of_record[record] = tag;
  }
  void erase(uint32_t record) {
    ASSERT_TRUE(index_erase(x, tag_of_record.at(record), record)) << record;
    tag_of_record.erase(record);
  }
  // Every present record is found under its tag, and erased ones are not.
  void check(uint32_t records_ever) const {
    EXPECT_EQ(x.size, tag_of_record.size());
    for (uint32_t r = 0; r < records_ever; r++) {
      auto it = tag_of_record.find(r);
      const uint32_t tag = it != tag_of_record.end() ? it->second : 1 + r % 7;
      const uint32_t found = index_find(x, tag, [r](uint32_t c) { return c == r; });
      EXPECT_EQ(found, it != tag_of_record.end() ? r : EndpointIndex::NONE) << "record " << r;
    }
  }
};

// The top bits of a tag are its home; these tags have their homes in the last slots
// of the first table (1024 entries), so their clusters wrap around to slot 0.
uint32_t tag_near_end(uint32_t k) { return 0xffffffffu - k * (1u << 20); }

TEST(EndpointIndex, ForcedCollisionsAndClusters) {
  struct Case {
    const char* name;
    uint32_t records;
    uint32_t (*tag)(uint32_t record);
    std::vector<uint32_t> erase_order;
  } cases[] = {
      {"all one tag", 40, [](uint32_t) { return 0x12345678u; }, {0, 39, 20, 1, 2, 38}},
      {"one home, distinct tags", 40, [](uint32_t r) { return 0x40000000u + r; }, {5, 0, 39, 6}},
      {"wrap around the end", 30, tag_near_end, {0, 1, 29, 15}},
      {"two clusters merge",
       60,
       [](uint32_t r) { return (r % 2 ? 0x10000000u : 0x10400000u) + r; },
       {0, 2, 4, 1, 3, 59, 58}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Model m;
    for (uint32_t r = 0; r < c.records; r++) m.insert(r, c.tag(r));
    m.check(c.records);
    for (uint32_t r : c.erase_order) {
      m.erase(r);
      m.check(c.records);
    }
    // The holes are reused and everything is still found.
    for (uint32_t r : c.erase_order) m.insert(r, c.tag(r));
    m.check(c.records);
  }
}

TEST(EndpointIndex, GuessReturnsTheFirstRecordWithTheTag) {
  Model m;
  m.insert(7, 0x55555555u);
  m.insert(8, 0x55555555u);
  EXPECT_EQ(index_guess(m.x, 0x55555555u), 7u);
  EXPECT_EQ(index_guess(m.x, 0x55555556u), EndpointIndex::NONE);
  m.erase(7);
  EXPECT_EQ(index_guess(m.x, 0x55555555u), 8u);
}

TEST(EndpointIndex, RandomOperationsThroughGrowth) {
  std::mt19937 rng(7);
  Model m;
  std::vector<uint32_t> present;
  uint32_t next = 0;
  for (int step = 0; step < 60000; step++) {
    // Mostly insertions at first, then as many erasures: the table grows past
    // several doublings and empties again.
    const bool insert = present.empty() || (step < 40000 ? rng() % 4 != 0 : rng() % 4 == 0);
    if (insert) {
      const uint32_t r = next++;
      m.insert(r, EndpointIndex::tag_of(Endpoint{IpAddr{static_cast<uint32_t>(rng())},
                                                 static_cast<uint16_t>(rng() & 0xffff)}));
      present.push_back(r);
    } else {
      const size_t i = rng() % present.size();
      m.erase(present[i]);
      present[i] = present.back();
      present.pop_back();
    }
    if (step % 10000 == 0) m.check(next);
  }
  m.check(next);
  EXPECT_GT(m.x.bits, 14u);  // it did grow
}

}  // namespace
