// Interval rows: where the intervals start and end (the run's start, long gaps,
// time that goes backwards, the run's end), what each row counts from the totals,
// and the handshake percentiles each row takes and clears.
#include "stats/intervals.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr int64_t SEC = 1000000;
// A run start far from 0, so that a row computed from 0 instead of it shows.
constexpr int64_t T0 = 1709646310 * SEC;

// A row as one line, so that a mismatch shows every field at once.
std::string text(const IntervalRow& r) {
  return "[" + std::to_string(r.start_us - T0) + "," + std::to_string(r.end_us - T0) + "] new " +
         std::to_string(r.new_syns) + " retried " + std::to_string(r.retried_syns) + " counted " +
         std::to_string(r.counted) + " resets " + std::to_string(r.resets) + " unanswered_syns " +
         std::to_string(r.unanswered_syns) + " open " + std::to_string(r.open) + " handshakes " +
         std::to_string(r.handshakes);
}

// The bounds of a row after T0.
std::string bounds(const IntervalRow& r) {
  return std::to_string(r.start_us - T0) + "-" + std::to_string(r.end_us - T0);
}

// An interval clock of `length_us` whose rows are kept.
class Intervals : public ::testing::Test {
 protected:
  void use(int64_t length_us) {
    clock.length_us = length_us;
    clock.sink = [this](const IntervalRow& row) { rows.push_back(row); };
  }
  void advance(int64_t after_t0, const IntervalTotals& now = {}) {
    intervals_advance(clock, T0, T0 + after_t0, now, handshakes);
  }
  void finish(int64_t after_t0, const IntervalTotals& now = {}) {
    intervals_finish(clock, T0, T0 + after_t0, now, handshakes);
  }
  std::vector<std::string> row_texts() const {
    std::vector<std::string> t;
    for (const IntervalRow& r : rows) t.push_back(text(r));
    return t;
  }
  std::vector<std::string> row_bounds() const {
    std::vector<std::string> b;
    for (const IntervalRow& r : rows) b.push_back(bounds(r));
    return b;
  }

  IntervalClock clock;
  LogHistogram handshakes;
  std::vector<IntervalRow> rows;
};

TEST_F(Intervals, FirstCallStartsTheClockAtTheRunStart) {
  use(SEC);
  EXPECT_TRUE(intervals_due(clock, T0 + SEC / 2));  // not started: due at any time
  advance(SEC / 2);
  EXPECT_TRUE(rows.empty());
  EXPECT_TRUE(clock.started);
  EXPECT_EQ(clock.start_us, T0);  // not the time of the call
  EXPECT_FALSE(intervals_due(clock, T0 + SEC - 1));
  EXPECT_TRUE(intervals_due(clock, T0 + SEC));
  advance(SEC);
  EXPECT_EQ(row_bounds(), (std::vector<std::string>{"0-1000000"}));
}

TEST_F(Intervals, FirstCallLateStillStartsAtTheRunStart) {
  use(SEC);
  advance(3 * SEC + 1);
  EXPECT_EQ(row_bounds(),
            (std::vector<std::string>{"0-1000000", "1000000-2000000", "2000000-3000000"}));
  EXPECT_EQ(clock.start_us, T0 + 3 * SEC);
}

TEST_F(Intervals, RowsCountWhatChangedSinceThePreviousRow) {
  use(SEC);
  // The figures differ everywhere so that a row built from the wrong ones shows.
  const IntervalTotals at_start{5, 1, 2, 3, 1, 2, 4};
  const IntervalTotals first{12, 3, 4, 7, 2, 5, 6};
  const IntervalTotals last{20, 4, 9, 8, 3, 9, 11};
  advance(0, at_start);
  // Two intervals end together: the first holds the changes, the second none, and
  // both describe the table as it now stands.
  advance(2 * SEC + 500, first);
  finish(2 * SEC + 700000, last);
  EXPECT_EQ(row_texts(),
            (std::vector<std::string>{
                // new: (12 - 3) - (5 - 1); open: records 6 less 2 waiting.
                "[0,1000000] new 5 retried 2 counted 4 resets 2 unanswered_syns 5 open 4 "
                "handshakes 0",
                "[1000000,2000000] new 0 retried 0 counted 0 resets 0 unanswered_syns 5 open 4 "
                "handshakes 0",
                "[2000000,2700000] new 7 retried 1 counted 1 resets 5 unanswered_syns 9 open 8 "
                "handshakes 0",
            }));
}

TEST_F(Intervals, RowsCarryTheCountedConnectionsBytesAndDurations) {
  use(SEC);
  LogHistogram durations;
  IntervalTotals now;
  intervals_advance(clock, T0, T0, now, handshakes, &durations);
  // Durations under 128 us, which the histogram holds exactly.
  durations.add(40);
  durations.add(100);
  now.nconns = 2, now.sum_client_bytes = 300, now.sum_server_bytes = 7000;
  intervals_advance(clock, T0, T0 + SEC, now, handshakes, &durations);
  now.nconns = 3, now.sum_client_bytes = 301, now.sum_server_bytes = 7002;
  intervals_finish(clock, T0, T0 + SEC + 10, now, handshakes, &durations);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].client_bytes, 300u);
  EXPECT_EQ(rows[0].server_bytes, 7000u);
  EXPECT_EQ(rows[0].duration_p50_us, 70);  // halfway between the two
  EXPECT_FALSE(rows[0].partial);
  // The row read and cleared the durations: the next has none of its own.
  EXPECT_EQ(durations.count(), 0u);
  EXPECT_EQ(rows[1].client_bytes, 1u);
  EXPECT_EQ(rows[1].server_bytes, 2u);
  EXPECT_EQ(rows[1].duration_p50_us, 0);
  EXPECT_TRUE(rows[1].partial);  // the run ended 10 us into it
}

TEST_F(Intervals, AlignedIntervalsStartTheFirstRowAtTheRun) {
  // A continuous run cuts its intervals on multiples of their length: the clock
  // starts before the run, and the first row starts where the run did.
  use(SEC);
  clock.not_before_us = T0 + SEC / 4;
  advance(0);
  advance(2 * SEC);
  EXPECT_EQ(row_bounds(), (std::vector<std::string>{"250000-1000000", "1000000-2000000"}));
  EXPECT_TRUE(rows[0].partial);
  EXPECT_FALSE(rows[1].partial);
}

struct GapCase {
  const char* name;
  int64_t now_us;  // after T0; intervals of one second
  size_t rows;
  int64_t last_end_us;  // after T0
  int64_t start_after;  // the current interval's start afterwards, after T0
};

// clang-format off
const GapCase GAPS[] = {
    {"WithinTheFirst", SEC / 2, 0, 0, 0},
    {"AtTheFirstsEnd", SEC, 1, SEC, SEC},
    // MAX_IDLE_ROWS intervals after the first are still written one by one...
    {"MaxIdleRowsWritten", (MAX_IDLE_ROWS + 1) * SEC + SEC / 2, MAX_IDLE_ROWS + 1,
     (MAX_IDLE_ROWS + 1) * SEC, (MAX_IDLE_ROWS + 1) * SEC},
    // ...one more, and only the first is: the clock moves to the interval of now.
    {"LongerGapSkipped", (MAX_IDLE_ROWS + 2) * SEC + SEC / 2, 1, SEC, (MAX_IDLE_ROWS + 2) * SEC},
    {"TimestampYearsOff", int64_t{3153600000} * SEC + 250000, 1, SEC, int64_t{3153600000} * SEC},
};
// clang-format on

void PrintTo(const GapCase& c, std::ostream* os) { *os << c.name; }

class IntervalGaps : public ::testing::TestWithParam<GapCase> {};

TEST_P(IntervalGaps, LongGapsAreSkipped) {
  const GapCase& c = GetParam();
  IntervalClock clock;
  clock.length_us = SEC;
  size_t written = 0;
  int64_t last_end = T0;
  clock.sink = [&](const IntervalRow& row) {
    written++;
    last_end = row.end_us;
  };
  LogHistogram handshakes;
  intervals_advance(clock, T0, T0, {}, handshakes);
  intervals_advance(clock, T0, T0 + c.now_us, {}, handshakes);
  EXPECT_EQ(written, c.rows);
  EXPECT_EQ(last_end - T0, c.last_end_us);
  EXPECT_EQ(clock.start_us - T0, c.start_after);
  EXPECT_FALSE(intervals_due(clock, T0 + c.now_us));  // now lies in the current interval
}

INSTANTIATE_TEST_SUITE_P(Intervals, IntervalGaps, ::testing::ValuesIn(GAPS),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Intervals, TimeGoingBackwardsStaysInTheCurrentInterval) {
  use(SEC);
  advance(SEC + SEC / 2);
  ASSERT_EQ(rows.size(), 1u);
  const IntervalTotals later{3, 0, 1, 1, 0, 0, 0};
  // Earlier than the last call, before the run's start, a century before.
  for (int64_t back : {SEC + SEC / 5, -SEC, int64_t{-3153600000} * SEC}) {
    SCOPED_TRACE(back);
    EXPECT_FALSE(intervals_due(clock, T0 + back));
    advance(back, later);
    EXPECT_EQ(rows.size(), 1u);
    EXPECT_EQ(clock.start_us, T0 + SEC);
  }
  // What happened meanwhile belongs to the interval that was current.
  advance(2 * SEC, later);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(text(rows[1]),
            "[1000000,2000000] new 3 retried 0 counted 1 resets 1 unanswered_syns 0 open 0 "
            "handshakes 0");
}

struct FinishCase {
  const char* name;
  int64_t advanced_to;  // the last call before the end, after T0; -1: none
  int64_t end_us;       // after T0
  std::vector<std::string> rows;
};

const FinishCase FINISHES[] = {
    {"WithinTheFirstInterval", -1, 300000, {"0-300000"}},
    {"AfterIntervals", -1, 2 * SEC + 300000, {"0-1000000", "1000000-2000000", "2000000-2300000"}},
    // The run ends where an interval starts: its last row is empty.
    {"AtAnIntervalsStart", -1, SEC, {"0-1000000", "1000000-1000000"}},
    {"AtTheRunStart", -1, 0, {"0-0"}},
    // The end is older than the current interval's start: the row ends at its start.
    {"BeforeTheCurrentStart", SEC + SEC / 2, SEC / 2, {"0-1000000", "1000000-1000000"}},
};

void PrintTo(const FinishCase& c, std::ostream* os) { *os << c.name; }

class IntervalFinish : public Intervals, public ::testing::WithParamInterface<FinishCase> {};

TEST_P(IntervalFinish, LastRowEndsTheRun) {
  const FinishCase& c = GetParam();
  use(SEC);
  if (c.advanced_to >= 0) advance(c.advanced_to);
  finish(c.end_us);
  EXPECT_EQ(row_bounds(), c.rows);
}

INSTANTIATE_TEST_SUITE_P(Intervals, IntervalFinish, ::testing::ValuesIn(FINISHES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Intervals, HandshakePercentilesOnlyWhenThereWereHandshakes) {
  use(SEC);
  advance(0);
  // Below 128 microseconds the histogram holds the values exactly.
  for (uint64_t us : {10, 20, 30, 40, 100}) handshakes.add(us);
  advance(SEC);
  advance(2 * SEC);  // an interval without handshakes
  handshakes.add(7);
  finish(2 * SEC + 5);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].handshakes, 5u);
  EXPECT_DOUBLE_EQ(rows[0].handshake_p50_us, 30);
  EXPECT_NEAR(rows[0].handshake_p99_us, 97.6, 1e-9);  // 40 + 0.96 * (100 - 40)
  EXPECT_EQ(rows[1].handshakes, 0u);
  EXPECT_EQ(rows[1].handshake_p50_us, 0);
  EXPECT_EQ(rows[1].handshake_p99_us, 0);
  // Each row cleared the histogram: only the last interval's handshake counts.
  EXPECT_EQ(rows[2].handshakes, 1u);
  EXPECT_DOUBLE_EQ(rows[2].handshake_p50_us, 7);
  EXPECT_DOUBLE_EQ(rows[2].handshake_p99_us, 7);
  EXPECT_EQ(handshakes.count(), 0u);
}

TEST_F(Intervals, LengthZeroMeansNoRows) {
  use(0);
  EXPECT_FALSE(intervals_due(clock, T0));
  advance(0);
  advance(5 * SEC);
  finish(6 * SEC);
  EXPECT_TRUE(rows.empty());
  EXPECT_FALSE(clock.started);
}

TEST_F(Intervals, WithoutASinkTheClockStillMoves) {
  clock.length_us = SEC;
  handshakes.add(5);
  advance(2 * SEC + 1);
  EXPECT_EQ(clock.start_us, T0 + 2 * SEC);
  EXPECT_EQ(handshakes.count(), 0u);
  finish(3 * SEC);
}

}  // namespace
