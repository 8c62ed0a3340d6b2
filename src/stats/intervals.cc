#include "stats/intervals.h"

#include "common/time.h"
#include "stats/run_clock.h"
#include "stats/run_stats.h"
#include "track/conn_table.h"
#include "track/handshake.h"
#include "track/records.h"

IntervalClock g_intervals;

namespace {

// Time arithmetic that wraps instead of overflowing, on hostile timestamps too.
int64_t plus(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
int64_t minus(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}

void snapshot_totals(IntervalClock& c) {
  c.syns = g_tracker.total_syns;
  c.dup_syns = g_tracker.dup_syns;
  c.resets = g_totals.resets;
  c.nconns = g_totals.nconns;
}

void start(IntervalClock& c) {
  c.started = true;
  c.start_us = usecs_of(g_clock.start_time);
  snapshot_totals(c);
}

// The row of the current interval, ended at end_us; the next begins there.
void close_interval(IntervalClock& c, int64_t end_us, IntervalSink sink) {
  IntervalRow row;
  row.start_us = c.start_us;
  row.end_us = end_us;
  const uint64_t new_syns = g_tracker.total_syns - g_tracker.dup_syns;
  row.new_syns = new_syns - (c.syns - c.dup_syns);
  row.retried_syns = g_tracker.dup_syns - c.dup_syns;
  row.counted = static_cast<uint64_t>(g_totals.nconns - c.nconns);
  row.resets = g_totals.resets - c.resets;
  row.unanswered_syns = g_records.unanswered_syns;
  row.open = conn_count() - g_records.unanswered;
  LogHistogram& handshakes = g_records.interval_handshakes;
  row.handshakes = handshakes.count();
  if (row.handshakes != 0) {
    row.handshake_p50_us = handshakes.quantile(0.5);
    row.handshake_p99_us = handshakes.quantile(0.99);
  }
  handshakes.clear();
  sink(row);
  c.start_us = end_us;
  snapshot_totals(c);
}

}  // namespace

void intervals_advance(int64_t now_us, IntervalSink sink) {
  IntervalClock& c = g_intervals;
  if (c.length_us == 0) return;
  if (!c.started) start(c);
  while (minus(now_us, c.start_us) >= c.length_us) {
    close_interval(c, plus(c.start_us, c.length_us), sink);
    const int64_t idle = minus(now_us, c.start_us) / c.length_us;
    if (idle > MAX_IDLE_ROWS) c.start_us = plus(c.start_us, idle * c.length_us);
  }
}

void intervals_finish(int64_t end_us, IntervalSink sink) {
  IntervalClock& c = g_intervals;
  if (c.length_us == 0) return;
  intervals_advance(end_us, sink);
  close_interval(c, minus(end_us, c.start_us) > 0 ? end_us : c.start_us, sink);
}

void reset_intervals() { g_intervals = IntervalClock{}; }
