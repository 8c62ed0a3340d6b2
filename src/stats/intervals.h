// Interval rows: what happened in each interval of the run's time, computed from a
// monitor's totals as the intervals end.
#pragma once

#include <cstdint>
#include <functional>

#include "common/log_histogram.h"

// One interval. The counts are of events within it; `unanswered_syns` and `open`
// describe the table at its end.
struct IntervalRow {
  int64_t start_us = 0;
  int64_t end_us = 0;         // the next interval's start; for the last, the run's end
  uint64_t new_syns = 0;      // SYNs that opened a connection
  uint64_t retried_syns = 0;  // SYNs that repeated one (the report's duplicates)
  uint64_t counted = 0;       // connections counted at their first FIN
  uint64_t resets = 0;
  uint64_t unanswered_syns = 0;  // SYNs of the attempts still without a SYN-ACK
  uint64_t open = 0;             // established or closing connections
  uint64_t handshakes = 0;       // first SYN-ACKs within the interval
  double handshake_p50_us = 0;   // their times' percentiles, when there were any
  double handshake_p99_us = 0;
  double duration_p50_us = 0;    // the durations of those counted, when there were any
  double duration_p99_us = 0;
  uint64_t client_bytes = 0;  // the bytes of those counted
  uint64_t server_bytes = 0;
  bool partial = false;  // shorter than the interval: the run began or ended within it
};

using IntervalSink = std::function<void(const IntervalRow& row)>;

// A monitor's totals at one moment, as the rows are computed from them.
struct IntervalTotals {
  uint64_t syns = 0;
  uint64_t dup_syns = 0;
  uint64_t resets = 0;
  int64_t nconns = 0;
  uint64_t unanswered = 0;       // records waiting for a SYN-ACK
  uint64_t unanswered_syns = 0;  // their SYNs
  uint64_t records = 0;          // records in the table
  int64_t sum_client_bytes = 0;  // the bytes of the connections counted
  int64_t sum_server_bytes = 0;
};

// Where the current interval stands, the totals when it began, and where its rows
// go.
struct IntervalClock {
  int64_t length_us = 0;  // 0: no interval rows
  IntervalSink sink;
  // Intervals cut on multiples of their length (a continuous run) start before the
  // run: its first row starts here instead, shorter than the others.
  int64_t not_before_us = INT64_MIN;
  bool started = false;
  int64_t start_us = 0;  // the current interval's start
  IntervalTotals at_start;
};

// A stretch of more intervals than this without a segment (a gap in a capture, or
// a damaged timestamp) is not written out row by row: its rows would all be alike,
// and a timestamp years off would write millions of them.
constexpr int64_t MAX_IDLE_ROWS = 100000;

// Whether a row is due by `now_us`: the intervals have not started, or the current
// one has ended. Cheap enough for every segment.
inline bool intervals_due(const IntervalClock& c, int64_t now_us) {
  if (c.length_us == 0) return false;
  // Wrapping, as the clock's own arithmetic: a hostile timestamp may be anything.
  const int64_t since = static_cast<int64_t>(static_cast<uint64_t>(now_us) -
                                             static_cast<uint64_t>(c.start_us));
  return !c.started || since >= c.length_us;
}

// The first call starts the intervals at `run_start_us`. Every interval that ends at
// or before `now_us` is handed to the clock's sink, computed from `now` (the totals,
// unchanged since the last segment) and the times gathered since the last row (the
// handshakes and, when given, the durations), which each row reads and clears; time
// that goes backwards stays in the current interval.
void intervals_advance(IntervalClock& c, int64_t run_start_us, int64_t now_us,
                       const IntervalTotals& now, LogHistogram& handshakes,
                       LogHistogram* durations = nullptr);

// The last interval, which ends the run at `end_us` (after the intervals before it
// are handed on). Only for a run that has a start: a file run without packets has
// no time to cut into intervals.
void intervals_finish(IntervalClock& c, int64_t run_start_us, int64_t end_us,
                      const IntervalTotals& now, LogHistogram& handshakes,
                      LogHistogram* durations = nullptr);
