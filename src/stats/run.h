// Run: the state of one run of the program from its first packet to its report: the
// fixed settings, where it prints, the clock and window, this host's addresses, the
// address pool, what its sources said, and one Monitor per watched port. The packet
// path changes it; the report reads it. main() makes one; a test makes its own.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/big_alloc.h"
#include "common/settings.h"
#include "common/trace.h"
#include "stats/monitor.h"
#include "stats/run_clock.h"
#include "track/addr_pool.h"
#include "track/local_addrs.h"

struct Run {
  // `streams` are where the run prints: the process's own, or a test's buffers.
  explicit Run(const Settings& settings, RunOutput streams = RunOutput{});
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  const Settings settings;
  // Traces, -c and -m lines, the byte-limit lines and the report on `output.out`;
  // when standard output carries the JSON report or rows (Settings::data_on_stdout)
  // they go to the error stream instead, and `data` is the stream they would have
  // used.
  RunOutput output;
  FILE* data;
  BigAllocLimit memory;  // every big structure of the run allocates against it
  AddrPool pool;
  HostAddrs host;  // collected only when the interface is chosen automatically
  RunClock clock;
  std::vector<std::unique_ptr<Monitor>> monitors;  // in the order -p named the ports
  // Each port's monitor: its index in `monitors`, NO_MONITOR for a port not watched.
  static constexpr uint16_t NO_MONITOR = 0xffff;
  std::vector<uint16_t> monitor_index;
  // -p any: SYNs to ports beyond --max-ports, counted and not followed, and those
  // ports.
  uint64_t unwatched_syns = 0;
  std::vector<bool> unwatched_ports;
  size_t unwatched_port_count = 0;

  // With --summary or --html and without --decode-all: IPv6 and VLAN-tagged
  // segments of the watched ports that the run passed over (the page and the
  // summary name the option that reads them).
  uint64_t skipped_framings = 0;

  // The interface a live run captures on: -i's, or the one chosen for it.
  std::string interface_name;

  // What the sources said.
  bool offline = false;              // the packets come from a capture file
  unsigned trace_packet_number = 0;  // the running number of the -dd packet trace
  std::string read_error;  // libpcap's text when a source could not be read to its end
  // The table could not grow: the run ended there, with this many records in it.
  bool out_of_memory = false;
  size_t conns_at_out_of_memory = 0;
  // The next expiry sweep (expire_records), in the run's time.
  int64_t next_expiry_us = 0;
};

// Where a run's intervals are cut from: its start or, in a continuous run
// (--metrics), the multiple of the interval's length at or before it, so that the
// rows of every host and every run line up with the wall clock.
int64_t interval_origin_us(const Run& run);

// Every monitor's interval rows that ended by `now_us`: the intervals are the run's,
// all cut at the same moments, so the first monitor's clock says when one is due.
void advance_intervals(Run& run, int64_t now_us);

// The last interval row of every monitor, ending the run at `end_us`.
void finish_intervals(Run& run, int64_t end_us);

// Adds the monitor of `port`, with its bucket table unless the run is in write mode
// (which buckets nothing); nullptr when the table's memory cannot be had (or the
// port has one already).
Monitor* add_monitor(Run& run, uint16_t port);

// The monitor of `port`, or nullptr.
inline Monitor* monitor_of_port(const Run& run, uint16_t port) {
  const uint16_t i = run.monitor_index[port];
  return i == Run::NO_MONITOR ? nullptr : run.monitors[i].get();
}

// The monitors in the order their reports are written: as -p named the ports, or,
// with -p any, the ports with the most connections counted first (ties by port).
std::vector<const Monitor*> report_order(const Run& run);
