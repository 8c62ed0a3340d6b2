// Interval rows: what happened in each interval of the run's time, computed from
// the run's totals as the intervals end.
#pragma once

#include <cstdint>

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
};

using IntervalSink = void (*)(const IntervalRow& row);

// Where the current interval stands and the totals when it began.
struct IntervalClock {
  int64_t length_us = 0;  // 0: no interval rows
  bool started = false;
  int64_t start_us = 0;  // the current interval's start
  uint64_t syns = 0;
  uint64_t dup_syns = 0;
  uint64_t resets = 0;
  int64_t nconns = 0;
};

extern IntervalClock g_intervals;

// A stretch of more intervals than this without a segment (a gap in a capture, or
// a damaged timestamp) is not written out row by row: its rows would all be alike,
// and a timestamp years off would write millions of them.
constexpr int64_t MAX_IDLE_ROWS = 100000;

// The first call starts the intervals at the run's start. Every interval that ends
// at or before `now_us` is handed to `sink`; time that goes backwards stays in the
// current interval.
void intervals_advance(int64_t now_us, IntervalSink sink);

// The last interval, which ends the run at `end_us` (after the intervals before it
// are handed on). Only for a run that has a start: a file run without packets has
// no time to cut into intervals.
void intervals_finish(int64_t end_us, IntervalSink sink);

void reset_intervals();
