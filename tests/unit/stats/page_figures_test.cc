// The page's bounded figures: the slowest connections and the clients in trouble as
// top lists, the bytes density by bit length, and a timeline that halves its
// resolution instead of growing.
#include "stats/page_figures.h"

#include <gtest/gtest.h>

#include <string>

namespace {

ConnRecord counted(uint32_t client, int64_t start_us, int64_t duration_us) {
  ConnRecord r;
  r.client = Endpoint{IpAddr{client}, 4000};
  r.server = Endpoint{IpAddr{0x0100000a}, 80};
  r.start_us = start_us;
  r.duration_us = duration_us;
  r.syns = 1;
  r.synacks = 1;
  r.state = RecordState::COMPLETED;
  r.measured = r.counted = true;
  r.client_bytes = 100;
  r.server_bytes = 5000;
  return r;
}

class PageFiguresTest : public ::testing::Test {
 protected:
  PageFiguresTest() { page.enabled = true; }
  AddrPool pool;
  PageFigures page;
};

TEST_F(PageFiguresTest, KeepsTheSlowestTwentySlowestFirst) {
  // Durations 0 to 99 ms, in an order that is neither sorted nor reversed; two of
  // the slowest tie and keep their start order.
  for (int i = 0; i < 100; ++i) {
    const int d = (i * 37) % 100;
    page_add_record(page, pool, counted(0x0200000a, 1000 + i, d * 1000));
  }
  page_add_record(page, pool, counted(0x0300000a, 5, 99000));
  const std::vector<SlowConnection> slow = slowest_first(page);
  ASSERT_EQ(slow.size(), PageFigures::SLOWEST);
  EXPECT_EQ(slow[0].duration_us, 99000);
  EXPECT_EQ(slow[0].start_us, 5);
  EXPECT_EQ(slow[0].client, "10.0.0.3");
  EXPECT_EQ(slow[1].duration_us, 99000);
  for (size_t i = 2; i < slow.size(); ++i) EXPECT_EQ(slow[i].duration_us, (100 - i) * 1000) << i;
  // Only counted connections are ranked.
  ConnRecord open = counted(0x0400000a, 0, 10'000'000);
  open.counted = false;
  page_add_record(page, pool, open);
  EXPECT_EQ(slowest_first(page)[0].duration_us, 99000);
}

TEST_F(PageFiguresTest, ClientsInTroubleByRepeatsResetsAndRefusals) {
  ConnRecord retried = counted(0x0200000a, 0, 1000);
  retried.syns = 4;  // three repeats
  ConnRecord reset = counted(0x0300000a, 0, -1);
  reset.state = RecordState::RESET;
  reset.counted = false;
  reset.reset_by = Party::CLIENT;
  ConnRecord refused = reset;
  refused.client = Endpoint{IpAddr{0x0400000a}, 4000};
  refused.reset_by = Party::SERVER;
  refused.synacks = 0;
  ConnRecord server_reset = reset;  // after its handshake: a reset, not a refusal
  server_reset.reset_by = Party::SERVER;
  page_add_record(page, pool, retried);
  page_add_record(page, pool, reset);
  page_add_record(page, pool, server_reset);
  page_add_record(page, pool, refused);
  page_add_record(page, pool, counted(0x0500000a, 0, 1000));  // no trouble: not listed
  const auto top = top_clients(page);
  ASSERT_EQ(top.size(), 3u);
  EXPECT_EQ(top[0].first, "10.0.0.2");
  EXPECT_EQ(top[0].second.repeated_syns, 3u);
  EXPECT_EQ(top[1].first, "10.0.0.3");
  EXPECT_EQ(top[1].second.resets, 2u);
  EXPECT_EQ(top[1].second.refusals, 0u);
  EXPECT_EQ(top[2].first, "10.0.0.4");
  EXPECT_EQ(top[2].second.refusals, 1u);
}

TEST_F(PageFiguresTest, ClientsBeyondTheLimitAreSummed) {
  ConnRecord r = counted(0, 0, 1000);
  r.syns = 2;
  for (uint32_t i = 0; i < PageFigures::MAX_CLIENTS + 10; ++i) {
    r.client = Endpoint{IpAddr{i + 1}, 4000};
    page_add_record(page, pool, r);
  }
  EXPECT_EQ(page.clients.size(), PageFigures::MAX_CLIENTS);
  EXPECT_EQ(page.clients_left_out.repeated_syns, 10u);
  EXPECT_EQ(top_clients(page).size(), PageFigures::TOP_CLIENTS);
}

TEST_F(PageFiguresTest, BytesDensityByBitLength) {
  EXPECT_EQ(byte_class(0), 0u);
  EXPECT_EQ(byte_class(1), 1u);
  EXPECT_EQ(byte_class(1023), 10u);
  EXPECT_EQ(byte_class(1024), 11u);
  EXPECT_EQ(byte_class(UINT32_MAX), 32u);
  page_add_record(page, pool, counted(0x0200000a, 0, 1000));
  EXPECT_EQ(page.bytes_density[byte_class(100)][byte_class(5000)], 1u);
}

TEST_F(PageFiguresTest, TimelineHalvesInsteadOfGrowing) {
  const size_t rows = PageFigures::MAX_POINTS * 3 + 7;
  uint64_t counted_rows = 0;
  for (size_t i = 0; i < rows; ++i) {
    IntervalRow row;
    row.start_us = static_cast<int64_t>(i) * 1000000;
    row.end_us = row.start_us + 1000000;
    row.counted = i % 5;
    counted_rows += row.counted;
    row.handshakes = 2;
    row.handshake_p50_us = static_cast<double>(i);
    row.handshake_p99_us = static_cast<double>(2 * i);
    page_add_interval(page, row);
  }
  ASSERT_LE(page.timeline.size(), PageFigures::MAX_POINTS);
  EXPECT_EQ(page.rows_per_point, 4u);
  uint64_t sum = 0, covered = 0;
  for (size_t i = 0; i < page.timeline.size(); ++i) {
    const TimelinePoint& p = page.timeline[i];
    sum += p.counted;
    covered += p.rows;
    if (i + 1 < page.timeline.size()) {
      EXPECT_EQ(p.rows, 4u);
      EXPECT_EQ(p.end_us, page.timeline[i + 1].start_us);
    }
  }
  // Nothing is lost on the way: every row is in exactly one point.
  EXPECT_EQ(covered, rows);
  EXPECT_EQ(sum, counted_rows);
  // Four rows' medians averaged, their highest p99.
  EXPECT_DOUBLE_EQ(page.timeline[1].handshake_p50_us, 5.5);
  EXPECT_DOUBLE_EQ(page.timeline[1].handshake_p99_us, 14);
}

}  // namespace
