#include "stats/intervals.h"

namespace {

// Time arithmetic that wraps instead of overflowing, on hostile timestamps too.
int64_t plus(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
int64_t minus(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}

void start(IntervalClock& c, int64_t run_start_us, const IntervalTotals& now) {
  c.started = true;
  c.start_us = run_start_us;
  c.at_start = now;
}

// The row of the current interval, ended at end_us; the next begins there.
void close_interval(IntervalClock& c, int64_t end_us, const IntervalTotals& now,
                    LogHistogram& handshakes, LogHistogram* durations) {
  const IntervalTotals& then = c.at_start;
  IntervalRow row;
  row.start_us = c.start_us < c.not_before_us && end_us > c.not_before_us ? c.not_before_us
                                                                        : c.start_us;
  row.end_us = end_us;
  row.new_syns = (now.syns - now.dup_syns) - (then.syns - then.dup_syns);
  row.retried_syns = now.dup_syns - then.dup_syns;
  row.counted = static_cast<uint64_t>(now.nconns - then.nconns);
  row.resets = now.resets - then.resets;
  row.unanswered_syns = now.unanswered_syns;
  row.open = now.records - now.unanswered;
  row.handshakes = handshakes.count();
  if (row.handshakes != 0) {
    row.handshake_p50_us = handshakes.quantile(0.5);
    row.handshake_p99_us = handshakes.quantile(0.99);
  }
  handshakes.clear();
  if (durations != nullptr && durations->count() != 0) {
    row.duration_p50_us = durations->quantile(0.5);
    row.duration_p99_us = durations->quantile(0.99);
    durations->clear();
  }
  row.client_bytes = static_cast<uint64_t>(now.sum_client_bytes - then.sum_client_bytes);
  row.server_bytes = static_cast<uint64_t>(now.sum_server_bytes - then.sum_server_bytes);
  row.partial = minus(end_us, row.start_us) < c.length_us;
  if (c.sink) c.sink(row);
  c.start_us = end_us;
  c.at_start = now;
}

}  // namespace

void intervals_advance(IntervalClock& c, int64_t run_start_us, int64_t now_us,
                       const IntervalTotals& now, LogHistogram& handshakes,
                       LogHistogram* durations) {
  if (c.length_us == 0) return;
  if (!c.started) start(c, run_start_us, now);
  while (minus(now_us, c.start_us) >= c.length_us) {
    close_interval(c, plus(c.start_us, c.length_us), now, handshakes, durations);
    const int64_t idle = minus(now_us, c.start_us) / c.length_us;
    if (idle > MAX_IDLE_ROWS) c.start_us = plus(c.start_us, idle * c.length_us);
  }
}

void intervals_finish(IntervalClock& c, int64_t run_start_us, int64_t end_us,
                      const IntervalTotals& now, LogHistogram& handshakes,
                      LogHistogram* durations) {
  if (c.length_us == 0) return;
  intervals_advance(c, run_start_us, end_us, now, handshakes, durations);
  close_interval(c, minus(end_us, c.start_us) > 0 ? end_us : c.start_us, now, handshakes,
                 durations);
}
