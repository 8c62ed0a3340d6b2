#include "run/packet_loop.h"

#include <cstdlib>
#include <new>

#include "common/trace.h"
#include "report/variants.h"
#include "run/record_output.h"
#include "run/service.h"
#include "run/signals.h"
#include "run/split_tracker.h"
#include "stats/run_clock.h"
#include "stats/tracker.h"
#include "track/segment_pool.h"

namespace {

// Memory kept for the end of a run that ran out of it (see PacketFeed::reserve).
constexpr size_t RESERVE_BYTES = 16 << 20;

// With -p any: the port a SYN is sent to becomes a watched port, while fewer than
// --max-ports are; nullptr when there is no room (the SYN is counted, not followed).
// Throws std::bad_alloc when its monitor's memory cannot be had.
Monitor* watch_port(PacketFeed& feed, uint16_t port) {
  Run& run = feed.run;
  if (run.monitors.size() >= run.settings.max_ports) {
    if (run.unwatched_ports.empty()) run.unwatched_ports.assign(65536, false);
    if (!run.unwatched_ports[port]) {
      run.unwatched_ports[port] = true;
      run.unwatched_port_count++;
    }
    run.unwatched_syns++;
    return nullptr;
  }
  Monitor* m = add_monitor(run, port);
  if (m == nullptr) throw std::bad_alloc();
  if (feed.files != nullptr) feed.files->adopt(run, *m);
  return m;
}

// The monitors a segment goes to: each watched port's among its two, as a run
// watching that port alone would have been handed it (the capture filter passes a
// segment with the port on either side); the destination's first. With one port
// the capture filter passed only its segments, and they all go to it. Returns how
// many there are.
int monitors_of(PacketFeed& feed, const DecodedFrame& d, Monitor* out[2]) {
  Run& run = feed.run;
  if (feed.near_monitor != nullptr) {
    out[0] = feed.near_monitor;
    return 1;
  }
  if (!run.settings.any_port && run.monitors.size() == 1) {
    out[0] = run.monitors.front().get();
    return 1;
  }
  int n = 0;
  Monitor* dst = monitor_of_port(run, d.seg.dst.port);
  if (dst == nullptr && run.settings.any_port && d.kind == SegmentKind::SYN)
    dst = watch_port(feed, d.seg.dst.port);
  if (dst != nullptr) out[n++] = dst;
  Monitor* src = monitor_of_port(run, d.seg.src.port);
  if (src != nullptr && src != dst) out[n++] = src;
  return n;
}

// The monitor whose lookup a batched segment prepares: that of its destination
// port, else of its source port; nullptr when neither is watched yet.
Monitor* likely_monitor(const PacketFeed& feed, const DecodedFrame& d) {
  const Run& run = feed.run;
  if (feed.near_monitor != nullptr) return feed.near_monitor;
  if (!run.settings.any_port && run.monitors.size() == 1) return run.monitors.front().get();
  Monitor* m = monitor_of_port(run, d.seg.dst.port);
  return m != nullptr ? m : monitor_of_port(run, d.seg.src.port);
}

void out_of_memory(PacketFeed& feed, const Timeval& failed_packet) {
  Run& run = feed.run;
  feed.reserve.reset();
  feed.ran_out = true;
  if (feed.split_worker) return;
  run.out_of_memory = true;
  run.conns_at_out_of_memory = 0;
  for (const std::unique_ptr<Monitor>& m : run.monitors)
    run.conns_at_out_of_memory += conn_count(m->table);
  // Segments handed on in batches were decoded ahead: the run's end is the packet
  // that failed, as it is when segments are handed on one at a time.
  if (run.offline) run.clock.end_time = failed_packet;
  if (feed.pcap != nullptr) pcap_breakloop(feed.pcap);
}

// Whether memory ran out on the way: on this feed's path or, but for a split
// tracker's worker (which reads nothing of the run's state), anywhere in the run.
bool feed_out_of_memory(const PacketFeed& feed) {
  return feed.ran_out || (!feed.split_worker && feed.run.out_of_memory);
}

// The status line comes every status_every / 10 packets. Between -9 and 9 that step
// is 0 and there is no sensible period, so the line is then never printed.
void maybe_print_status(Run& run, const Timeval& now) {
  const int step = run.settings.status_every / 10;
  if (step == 0) return;
  const uint64_t period = static_cast<uint64_t>(std::llabs(step));
  if (run.clock.packet_count % period != 0) return;
  for (const std::unique_ptr<Monitor>& m : run.monitors) print_status(run.output.out, run, *m, now);
}

// The traces of the network layer, as far as decoding got.
void trace_network_layer(FILE* out, DecodeStatus status, const DecodedFrame& d) {
  if (status == DecodeStatus::SHORT_LINK || status == DecodeStatus::SHORT_IP) return;
  if (status == DecodeStatus::NOT_IP) {
    static constexpr char NOT_IP_FMT[] = "Not IP packet\n\n";
    TRACE(out, NOT_IP_FMT);
    return;
  }
  static constexpr char PROTO_FMT[] = "Proto = %u\n\n";
  TRACE(out, PROTO_FMT, static_cast<unsigned>(d.protocol));
  if (status == DecodeStatus::NOT_TCP) {
    static constexpr char NOT_TCP_FMT[] = "Not TCP packet\n";
    TRACE(out, NOT_TCP_FMT);
    return;
  }
  static constexpr char FOUND_TCP_FMT[] = "FOUND TCP/IP PACKET\n\n";
  static constexpr char IP_HLEN_FMT[] = "IP hdr len = %d\n\n";
  static constexpr char IP_TOTAL_FMT[] = "IP total len = %d\n\n";
  TRACE(out, FOUND_TCP_FMT);
  TRACE(out, IP_HLEN_FMT, d.ip_header_length);
  TRACE(out, IP_TOTAL_FMT, d.ip_total_length);
}

// The filter passed every framing --decode-all reads, to count those this run does
// not: such a segment is counted and goes no further, not even to the clock, so the
// run sees exactly what the classic filter passes.
bool skips_framing(PacketFeed& feed, const struct pcap_pkthdr* header, const u_char* bytes) {
  if (!feed.count_other_framings || classic_framing(PacketReader{bytes, header->caplen}, feed.link))
    return false;
  feed.run.skipped_framings++;
  return true;
}

// Keeps the run's clock and decodes one packet down to the segment the tracker
// needs, with the packet traces and the status line; false when the packet goes no
// further. A quiet file run takes the same steps without them (take_quiet_packet).
bool take_packet(PacketFeed& feed, const struct pcap_pkthdr* header, const u_char* bytes,
                 DecodedFrame* d) {
  Run& run = feed.run;
  // A stop was requested (live runs): the loop produces the report; this packet
  // and any later one are not handled.
  if (run_stopping(run)) return false;
  if (skips_framing(feed, header, bytes)) return false;

  const Timeval now{static_cast<int64_t>(header->ts.tv_sec),
                    static_cast<int64_t>(header->ts.tv_usec)};
  RunClock& clock = run.clock;
  if (run.offline) clock_file_packet(clock, now);
  if (run.settings.status_every != 0) maybe_print_status(run, now);
  if (clock.packet_count == 0) open_window(clock, run.settings, now);
  clock.packet_count++;

  const int debug = run.settings.debug;
  FILE* const out = run.output.out;
  if (debug >= 2) {
    static constexpr char GOT_PACKET_FMT[] = "Got packet %d:len = %d, caplen = %d\n\n";
    TRACE(out, GOT_PACKET_FMT, static_cast<int>(++run.trace_packet_number),
          static_cast<int>(header->len), static_cast<int>(header->caplen));
  }

  const DecodeStatus status = decode_frame(PacketReader{bytes, header->caplen}, feed.link, d);
  if (debug >= 2) trace_network_layer(out, status, *d);
  if (status <= DecodeStatus::NOT_TCP) return false;
  // TCP over IP from here: the time window applies.
  if (!in_window(clock, now)) {
    static constexpr char OLD_PACKET_FMT[] = "%s\n";
    if (debug >= 2) TRACE(out, OLD_PACKET_FMT, "Dropping old pkt");
    return false;
  }
  if (status <= DecodeStatus::SHORT_TCP) return false;
  if (debug >= 2) {
    static constexpr char TCP_LEN_FMT[] = "TCP data offset = %d, TCP len = %d\n\n";
    TRACE(out, TCP_LEN_FMT, d->tcp_header_length, d->tcp_length);
  }
  if (status != DecodeStatus::SEGMENT) return false;
  d->seg.time = now;
  return true;
}

// Numbers an IPv6 segment's addresses (hold_segment_addresses), with their prepared
// lookups when there are any; false when that needed memory there was none of.
bool try_hold_addresses(AddrPool& pool, DecodedFrame* d, const PoolLookup* prepared = nullptr) {
  try {
    hold_segment_addresses(pool, d, prepared);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// Hands the segment to its monitor, then lets go of its IPv6 addresses; false when
// memory ran out on the way. The run then ends as a stop request ends it: this
// segment and every later one are not handled, and the report covers what was
// handled before.
// `prepared`, when the segment waited in a batch, is its entry: its lookup serves the
// monitor it was prepared for.
bool dispatch(PacketFeed& feed, const DecodedFrame& d,
              const SegmentBatches::Entry* prepared = nullptr) {
  Run& run = feed.run;
  bool handled = true;
  try {
    // The rows of the intervals that ended before this segment come first, and the
    // records that were past their time by then leave.
    advance_intervals(run, usecs_of(d.seg.time));
    sweep_expired(run, d.seg.time);
    Monitor* monitors[2];
    const int n = monitors_of(feed, d, monitors);
    for (int i = 0; i < n; i++) {
      Monitor& m = *monitors[i];
      monitor_reserve(m);
      const bool hinted = prepared != nullptr && prepared->monitor == &m;
      if (hinted) conn_set_hint(m.table, &prepared->lookup);
      dispatch_segment(m, d);
      if (hinted) conn_set_hint(m.table, nullptr);
    }
  } catch (const std::bad_alloc&) {
    out_of_memory(feed, d.seg.time);
    handled = false;
  }
  release_segment_addresses(*feed.pool, d.seg);
  return handled;
}

// Starts fetching the pool slots of an IPv6 segment's two addresses.
void locate_addresses(AddrPool& pool, const SegmentBatches::Entry& e) {
  if (e.d.seg.src.family != Family::IPV6) return;
  pool_locate(pool, &e.pool[0]);
  pool_locate(pool, &e.pool[1]);
}

// Numbers the IPv6 addresses of a batch's segments, the slots of the last ones
// fetched first (the others were asked for as later segments were decoded, see
// LOCATE_LAG); returns how many segments were numbered before one found no memory.
size_t number_addresses(AddrPool& pool, SegmentBatches::Entry* batch, size_t count) {
  const size_t located = count > SegmentBatches::LOCATE_LAG ? count - SegmentBatches::LOCATE_LAG : 0;
  for (size_t i = located; i < count; i++) locate_addresses(pool, batch[i]);
  for (size_t i = 0; i < count; i++)
    if (!try_hold_addresses(pool, &batch[i].d, batch[i].pool)) return i;
  return count;
}

// The batch being filled is complete (or the run is over): number its IPv6
// addresses, fetch its index lines, hand on the waiting batch, then fetch the new
// batch's records (its index lines have arrived meanwhile, and the guesses see
// every earlier segment's changes).
void advance_batches(PacketFeed& feed) {
  SegmentBatches& b = feed.batches;
  SegmentBatches::Entry* full = b.entries[b.filling];
  SegmentBatches::Entry* waiting = b.entries[1 - b.filling];
  // Once a segment's addresses found no memory, nothing after it is numbered: the
  // run ends at that segment.
  const size_t numbered =
      b.no_memory ? 0 : b.ipv6 ? number_addresses(*feed.pool, full, b.filled) : b.filled;
  if (numbered < b.filled) b.no_memory = true;
  for (size_t i = 0; i < numbered; i++) {
    SegmentBatches::Entry& e = full[i];
    e.monitor = likely_monitor(feed, e.d);
    if (e.monitor != nullptr)
      conn_prepare(e.monitor->table, &e.lookup, tracked_endpoint(e.d, e.monitor->port));
  }
  for (size_t i = 0; i < b.numbered && !feed_out_of_memory(feed); i++)
    dispatch(feed, waiting[i].d, &waiting[i]);
  if (b.numbered < b.waiting && !feed_out_of_memory(feed))
    out_of_memory(feed, waiting[b.numbered].d.seg.time);
  for (size_t i = 0; i < numbered; i++)
    if (full[i].monitor != nullptr) conn_locate(full[i].monitor->table, &full[i].lookup);
  b.waiting = b.filled;
  b.numbered = numbered;
  b.filled = 0;
  b.ipv6 = false;
  b.filling = 1 - b.filling;
}

}  // namespace

PacketFeed::PacketFeed(Run& run)
    : run(run),
      count_other_framings(run.settings.counts_other_framings()),
      clock(&run.clock),
      pool(&run.pool),
      reserve(std::malloc(RESERVE_BYTES), std::free) {}

bool take_quiet_packet(RunClock& clock, const Settings& s, const LinkInfo& link,
                       const struct pcap_pkthdr* header, const u_char* bytes, DecodedFrame* d) {
  const Timeval now{static_cast<int64_t>(header->ts.tv_sec),
                    static_cast<int64_t>(header->ts.tv_usec)};
  clock_file_packet(clock, now);
  if (clock.packet_count == 0) open_window(clock, s, now);
  clock.packet_count++;
  // TCP over IP outside the window, and anything short of a segment, go no further.
  if (decode_frame(PacketReader{bytes, header->caplen}, link, d) != DecodeStatus::SEGMENT ||
      !in_window(clock, now))
    return false;
  d->seg.time = now;
  return true;
}

bool run_stopping(const Run& run) { return stop_signalled() || run.out_of_memory; }

void handle_packet(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes) {
  PacketFeed& feed = *reinterpret_cast<PacketFeed*>(user);
  // A packet the whole filter does not pass was never delivered.
  if (feed.user_filter != nullptr && pcap_offline_filter(feed.user_filter, header, bytes) == 0)
    return;
  DecodedFrame d;
  if (!take_packet(feed, header, bytes, &d)) return;
  if (try_hold_addresses(*feed.pool, &d))
    dispatch(feed, d);
  else
    out_of_memory(feed, d.seg.time);
}

bool can_defer_segments(const Run& run) {
  return run.offline && run.settings.debug == 0 && run.settings.status_every == 0;
}

void handle_packet_deferred(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes) {
  PacketFeed& feed = *reinterpret_cast<PacketFeed*>(user);
  if (feed_out_of_memory(feed)) return;
  SegmentBatches& b = feed.batches;
  SegmentBatches::Entry& e = b.entries[b.filling][b.filled];
  if (skips_framing(feed, header, bytes) ||
      !take_quiet_packet(*feed.clock, feed.run.settings, feed.link, header, bytes, &e.d))
    return;
  // The other side of a split tracker tracks this client.
  if (feed.split != nullptr && feed.split->far_client(e.d) != feed.split_worker) return;
  if (e.d.seg.src.family == Family::IPV6) {
    pool_prepare(*feed.pool, &e.pool[0], e.d.src6);
    pool_prepare(*feed.pool, &e.pool[1], e.d.dst6);
    b.ipv6 = true;
  }
  if (b.ipv6 && b.filled >= SegmentBatches::LOCATE_LAG)
    locate_addresses(*feed.pool, b.entries[b.filling][b.filled - SegmentBatches::LOCATE_LAG]);
  if (++b.filled == SegmentBatches::BATCH) advance_batches(feed);
}

void flush_deferred_segments(PacketFeed& feed) {
  advance_batches(feed);
  advance_batches(feed);
}

void restart_feed(PacketFeed& feed) {
  Run& run = feed.run;
  run.clock = RunClock{};
  run.skipped_framings = 0;
  run.trace_packet_number = 0;
  run.out_of_memory = false;
  run.conns_at_out_of_memory = 0;
  feed.ran_out = false;
  feed.batches = SegmentBatches{};
  if (!feed.reserve) feed.reserve.reset(std::malloc(RESERVE_BYTES));
}
