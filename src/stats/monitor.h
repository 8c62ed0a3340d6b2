// Monitor: everything one watched server port follows and counts in a run: its
// connection table, its counters and sums, buckets, -D list, SYN distribution,
// interval clock and percentiles. A run has one monitor per port (Run::monitors).
#pragma once

#include <cstdint>

#include "common/big_alloc.h"
#include "common/settings.h"
#include "common/trace.h"
#include "stats/exposition_histogram.h"
#include "stats/intervals.h"
#include "stats/page_figures.h"
#include "stats/percentiles.h"
#include "stats/run_stats.h"
#include "track/addr_pool.h"
#include "track/conn_table.h"
#include "track/endpoint_tally.h"
#include "track/local_addrs.h"
#include "track/records.h"

// SYNs of new endpoints while the table held --max-conns records (counted in
// total_syns too), and their endpoints.
struct Untracked {
  uint64_t syns = 0;
  EndpointTally endpoints;
};

// Records in the table by state, kept as they move, so that a scrape never walks it.
struct StateCounts {
  uint64_t syn_seen = 0;
  uint64_t established = 0;
  uint64_t closing = 0;
};

// Records that left the table because they could no longer change a figure
// (expire_records): attempts never answered (and their SYNs), established
// connections older than --max-age, closing ones whose answering FIN never came.
struct Expired {
  uint64_t unanswered = 0;
  uint64_t unanswered_syns = 0;
  uint64_t established = 0;
  uint64_t closing = 0;
};

// What the records still in the table say at the end of the run.
struct OpenCounts {
  uint64_t never_completed = 0;  // still waiting for a SYN-ACK
  uint64_t incomplete_syns = 0;  // their SYNs
  uint64_t in_progress = 0;      // established or closing
  uint64_t closing = 0;
  uint64_t maybe_discarded = 0;  // in progress with 4 or more SYN-ACKs
};
struct Monitor {
  // What the monitor reads of its run, which outlives it: the settings, this host's
  // addresses, the streams it prints on, and the pool its IPv6 addresses are held in.
  Monitor(uint16_t port, const Settings& settings, AddrPool& pool, const HostAddrs& host,
          const RunOutput& output, BigAllocLimit* limit);
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  const uint16_t port;  // the server's port: segments from it come from the server
  const Settings& settings;
  AddrPool& pool;
  const HostAddrs& host;
  const RunOutput& output;

  ConnTable table;
  RecordKeeping records;
  RunTotals totals;
  Untracked untracked;
  // Round-trip estimation: on from the start with -T, or switched on by the first
  // SYN-ACK addressed to one of this host's addresses (this host is then the
  // client, and a handshake's time is a true round trip).
  bool rtt_enabled;
  BucketTable buckets;  // none in write mode, which buckets nothing
  FilterList filters;
  SynDistribution syn_dist;
  IntervalClock intervals;
  RecordPercentiles percentiles;
  // The histograms have their memory (monitor_reserve).
  bool reserved = false;
  StateCounts states;
  Expired expired;
  uint32_t expiry_cursor = 0;  // the record number the next expiry sweep starts at
  // With --metrics or --metrics-file: what the exposition's histograms count.
  bool exposes;
  ExposedHistograms exposed;
  // With --html: the top lists, the bytes density and the timeline of the page.
  PageFigures page;
  // What stays open in the tables of a run whose clients were dealt between two
  // (add_monitor_figures): counted with this monitor's own table.
  OpenCounts split_open;
};

// Gives the monitor's histograms their memory before its first segment, so that no
// handler has to find any; a monitor that never sees a segment costs none. Throws
// std::bad_alloc, changing nothing, when memory runs out.
void monitor_reserve(Monitor& m);

OpenCounts count_open_connections(const Monitor& m);

// Adds what `from` counted into `into`, whose port it watched over other clients
// of the same run: totals, buckets, SYN distribution and what stays open in its
// table (into split_open; the records by state stay those of `into`'s own table).
// Both bucket tables have the run's layout.
void add_monitor_figures(Monitor& into, const Monitor& from);

// The monitor's totals as an interval row computes them.
IntervalTotals interval_totals(const Monitor& m);

// The interval rows that have ended by `now_us` (see intervals_advance); the run's
// start opens the first interval.
inline void monitor_advance_intervals(Monitor& m, int64_t run_start_us, int64_t now_us) {
  if (!intervals_due(m.intervals, now_us)) return;
  intervals_advance(m.intervals, run_start_us, now_us, interval_totals(m),
                    m.records.interval_handshakes, &m.records.interval_durations);
}

// The last interval row, ending the run at `end_us`.
inline void monitor_finish_intervals(Monitor& m, int64_t run_start_us, int64_t end_us) {
  intervals_finish(m.intervals, run_start_us, end_us, interval_totals(m),
                   m.records.interval_handshakes, &m.records.interval_durations);
}
