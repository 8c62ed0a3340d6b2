#include "run/packet_loop.h"

#include <cstdlib>
#include <new>

#include "common/settings.h"
#include "common/trace.h"
#include "report/variants.h"
#include "run/capture.h"
#include "run/record_output.h"
#include "stats/close.h"
#include "stats/run_clock.h"
#include "track/addr_pool.h"
#include "track/conn_table.h"
#include "track/decode.h"
#include "track/handshake.h"

namespace {

// Memory kept for the end of a run that ran out: given back when the table cannot
// grow, so that the report can still be written.
constexpr size_t RESERVE_BYTES = 16 << 20;
void* g_reserve = nullptr;

void out_of_memory(const Timeval& failed_packet) {
  std::free(g_reserve);
  g_reserve = nullptr;
  g_capture.out_of_memory = true;
  g_capture.conns_at_out_of_memory = conn_count();
  // Segments handed on in batches were decoded ahead: the run's end is the packet
  // that failed, as it is when segments are handed on one at a time.
  if (g_capture.offline) g_clock.end_time = failed_packet;
  g_capture.stop_requested = 1;
  if (g_capture.pcap != nullptr) pcap_breakloop(g_capture.pcap);
}

// The status line comes every status_every / 10 packets. Between -9 and 9 that step
// is 0 and there is no sensible period, so the line is then never printed.
void maybe_print_status(const Timeval& now) {
  const int step = g_settings.status_every / 10;
  if (step == 0) return;
  const uint64_t period = static_cast<uint64_t>(std::llabs(step));
  if (g_clock.packet_count % period == 0) print_status(g_output.out, now);
}

// The traces of the network layer, as far as decoding got.
void trace_network_layer(DecodeStatus status, const DecodedFrame& d) {
  if (status == DecodeStatus::SHORT_LINK || status == DecodeStatus::SHORT_IP) return;
  if (status == DecodeStatus::NOT_IP) {
    static constexpr char NOT_IP_FMT[] = "Not IP packet\n\n";
    TRACE(NOT_IP_FMT);
    return;
  }
  static constexpr char PROTO_FMT[] = "Proto = %u\n\n";
  TRACE(PROTO_FMT, static_cast<unsigned>(d.protocol));
  if (status == DecodeStatus::NOT_TCP) {
    static constexpr char NOT_TCP_FMT[] = "Not TCP packet\n";
    TRACE(NOT_TCP_FMT);
    return;
  }
  static constexpr char FOUND_TCP_FMT[] = "FOUND TCP/IP PACKET\n\n";
  static constexpr char IP_HLEN_FMT[] = "IP hdr len = %d\n\n";
  static constexpr char IP_TOTAL_FMT[] = "IP total len = %d\n\n";
  TRACE(FOUND_TCP_FMT);
  TRACE(IP_HLEN_FMT, d.ip_header_length);
  TRACE(IP_TOTAL_FMT, d.ip_total_length);
}

// Keeps the run's clock and decodes one packet down to the segment the tracker
// needs; false when the packet goes no further. QUIET_FILE_RUN: a file run without
// -d and -m (see can_defer_segments), where no signal can stop the run and nothing
// is traced, so those checks are left out of the code.
template <bool QUIET_FILE_RUN>
bool take_packet(const struct pcap_pkthdr* header, const u_char* bytes, DecodedFrame* d) {
  // A stop was requested (live runs): the loop produces the report; this packet
  // and any later one are not handled.
  if (!QUIET_FILE_RUN && g_capture.stop_requested != 0) return false;

  const Timeval now{static_cast<int64_t>(header->ts.tv_sec),
                    static_cast<int64_t>(header->ts.tv_usec)};
  if (QUIET_FILE_RUN || g_capture.offline) clock_file_packet(now);
  if (!QUIET_FILE_RUN && g_settings.status_every != 0) maybe_print_status(now);
  if (g_clock.packet_count == 0) open_window(now);
  g_clock.packet_count++;

  const int debug = QUIET_FILE_RUN ? 0 : g_settings.debug;
  if (debug >= 2) {
    static constexpr char GOT_PACKET_FMT[] = "Got packet %d:len = %d, caplen = %d\n\n";
    TRACE(GOT_PACKET_FMT, static_cast<int>(++g_capture.trace_packet_number),
          static_cast<int>(header->len), static_cast<int>(header->caplen));
  }

  const DecodeStatus status = decode_frame(PacketReader{bytes, header->caplen}, g_capture.link, d);
  if (debug >= 2) trace_network_layer(status, *d);
  if (status <= DecodeStatus::NOT_TCP) return false;
  // TCP over IP from here: the time window applies.
  if (!in_window(now)) {
    static constexpr char OLD_PACKET_FMT[] = "%s\n";
    if (debug >= 2) TRACE(OLD_PACKET_FMT, "Dropping old pkt");
    return false;
  }
  if (status <= DecodeStatus::SHORT_TCP) return false;
  if (debug >= 2) {
    static constexpr char TCP_LEN_FMT[] = "TCP data offset = %d, TCP len = %d\n\n";
    TRACE(TCP_LEN_FMT, d->tcp_header_length, d->tcp_length);
  }
  if (status != DecodeStatus::SEGMENT) return false;
  d->seg.time = now;
  return true;
}

// Numbers an IPv6 segment's addresses (hold_segment_addresses), with their prepared
// lookups when there are any; false when that needed memory there was none of.
bool try_hold_addresses(DecodedFrame* d, const PoolLookup* prepared = nullptr) {
  try {
    hold_segment_addresses(d, prepared);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void hand_on(const DecodedFrame& d) {
  // The rows of the intervals that ended before this segment come first.
  advance_intervals(d.seg.time);
  switch (d.kind) {
    case SegmentKind::RESET:
      handle_close(d.seg, true, 0);
      break;
    case SegmentKind::SYNACK:
      handle_synack(d.seg);
      break;
    case SegmentKind::SYN:
      handle_syn(d.seg);
      break;
    case SegmentKind::FIN:
      handle_close(d.seg, false, d.payload);
      break;
  }
}

// Hands the segment to its handler, then lets go of its IPv6 addresses; false when
// memory ran out on the way. The run then ends as a stop request ends it: this
// segment and every later one are not handled, and the report covers what was
// handled before.
bool dispatch(const DecodedFrame& d) {
  bool handled = true;
  try {
    hand_on(d);
  } catch (const std::bad_alloc&) {
    out_of_memory(d.seg.time);
    handled = false;
  }
  release_segment_addresses(d.seg);
  return handled;
}

// Segments decoded but not yet handed to the tracker, in two batches. With
// hundreds of thousands of connections open, nearly every lookup misses the caches,
// and each miss may also have to walk the page tables. Fetches started together
// overlap, one at a time they queue: so the memory a batch's lookups will touch is
// asked for all at once, the index slots when the batch is full, the records one
// batch later, and the segments are handed on in their order after that. Even a
// small table gains: between two segments the capture file streams through the
// caches and pushes the records out.
constexpr size_t BATCH = 16;

struct SegmentBatches {
  struct Entry {
    DecodedFrame d;
    ConnLookup lookup;  // of the endpoint the handler will look up
    // An IPv6 segment's two addresses in the pool: prepared as the segment is
    // decoded, located and numbered when its batch is full.
    PoolLookup pool[2];
  };
  Entry entries[2][BATCH];
  int filling = 0;     // the batch being filled
  size_t filled = 0;   // its segments
  size_t waiting = 0;  // segments of the other batch, whose records are on their way
  bool ipv6 = false;   // the batch being filled holds an IPv6 segment
  // Of the waiting batch, the segments before the first whose addresses found no
  // memory (all of them, as a rule): the run ends when that one's turn comes, as it
  // ends at a handler that finds none.
  size_t numbered = 0;
  bool no_memory = false;  // a segment's addresses found no memory: number no more
};

SegmentBatches g_batches;

// Numbers the IPv6 addresses of a batch's segments, their slots fetched first (their
// index lines were asked for as the segments were decoded); returns how many
// segments were numbered before one found no memory.
size_t number_addresses(SegmentBatches::Entry* batch, size_t count) {
  for (size_t i = 0; i < count; i++) {
    if (batch[i].d.seg.src.family != Family::IPV6) continue;
    pool_locate(&batch[i].pool[0]);
    pool_locate(&batch[i].pool[1]);
  }
  for (size_t i = 0; i < count; i++)
    if (!try_hold_addresses(&batch[i].d, batch[i].pool)) return i;
  return count;
}

// The batch being filled is complete (or the run is over): number its IPv6
// addresses, fetch its index lines, hand on the waiting batch, then fetch the new
// batch's records (its index lines have arrived meanwhile, and the guesses see
// every earlier segment's changes).
void advance_batches() {
  SegmentBatches& b = g_batches;
  SegmentBatches::Entry* full = b.entries[b.filling];
  SegmentBatches::Entry* waiting = b.entries[1 - b.filling];
  // Once a segment's addresses found no memory, nothing after it is numbered: the
  // run ends at that segment.
  const size_t numbered = b.no_memory ? 0 : b.ipv6 ? number_addresses(full, b.filled) : b.filled;
  if (numbered < b.filled) b.no_memory = true;
  for (size_t i = 0; i < numbered; i++)
    conn_prepare(&full[i].lookup, tracked_endpoint(full[i].d, g_settings.port));
  for (size_t i = 0; i < b.numbered && !g_capture.out_of_memory; i++) {
    conn_set_hint(&waiting[i].lookup);
    dispatch(waiting[i].d);
  }
  if (b.numbered < b.waiting && !g_capture.out_of_memory)
    out_of_memory(waiting[b.numbered].d.seg.time);
  conn_set_hint(nullptr);
  for (size_t i = 0; i < numbered; i++) conn_locate(&full[i].lookup);
  b.waiting = b.filled;
  b.numbered = numbered;
  b.filled = 0;
  b.ipv6 = false;
  b.filling = 1 - b.filling;
}

}  // namespace

void handle_packet(u_char*, const struct pcap_pkthdr* header, const u_char* bytes) {
  DecodedFrame d;
  if (!take_packet<false>(header, bytes, &d)) return;
  if (try_hold_addresses(&d))
    dispatch(d);
  else
    out_of_memory(d.seg.time);
}

bool can_defer_segments() {
  return g_capture.offline && g_settings.debug == 0 && g_settings.status_every == 0;
}

void handle_packet_deferred(u_char*, const struct pcap_pkthdr* header, const u_char* bytes) {
  if (g_capture.out_of_memory) return;
  SegmentBatches& b = g_batches;
  SegmentBatches::Entry& e = b.entries[b.filling][b.filled];
  if (!take_packet<true>(header, bytes, &e.d)) return;
  if (e.d.seg.src.family == Family::IPV6) {
    pool_prepare(&e.pool[0], e.d.src6);
    pool_prepare(&e.pool[1], e.d.dst6);
    b.ipv6 = true;
  }
  if (++b.filled == BATCH) advance_batches();
}

void flush_deferred_segments() {
  advance_batches();
  advance_batches();
}

void reset_deferred_segments() { g_batches = SegmentBatches{}; }

void keep_memory_reserve() {
  if (g_reserve == nullptr) g_reserve = std::malloc(RESERVE_BYTES);
}
