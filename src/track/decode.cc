#include "track/decode.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/addr.h"
#include "common/trace.h"
#include "report/variants.h"
#include "run/capture.h"
#include "run/settings.h"
#include "stats/close.h"
#include "track/conn_table.h"
#include "track/handshake.h"
#include "track/packet_reader.h"
#include "track/tcp_segment.h"

namespace {

constexpr int LINK_NULL = 0;      // BSD loopback: a 4-byte address family
constexpr int LINK_ETHERNET = 1;  // DLT_EN10MB
constexpr uint32_t FAMILY_INET = 2;
constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr size_t ETHERNET_HEADER = 14;
constexpr size_t NULL_HEADER = 4;
constexpr size_t IPV4_MIN_HEADER = 20;  // RFC 791, section 3.1
constexpr size_t TCP_MIN_HEADER = 20;   // RFC 793, section 3.1
constexpr size_t TCP_READ_BYTES = 14;   // ports, sequence numbers, data offset, flags
constexpr uint8_t PROTO_TCP = 6;

// The status line comes every status_every / 10 packets. Between -9 and 9 that step
// is 0 and there is no sensible period, so the line is then never printed.
void maybe_print_status(const Timeval& now) {
  const int step = g_settings.status_every / 10;
  if (step == 0) return;
  const uint64_t period = static_cast<uint64_t>(std::llabs(step));
  if (g_capture.packet_count % period == 0) print_status(now);
}

// The window opens one second before the first packet or, with -I, at the given
// time of day on the first packet's local date (or on the given date).
void set_window_start(const Timeval& first) {
  if (!g_settings.has_since) {
    g_capture.window_start = Timeval{g_capture.start_time.sec - 1, g_capture.start_time.usec};
    return;
  }
  time_t secs = static_cast<time_t>(first.sec);
  struct tm local;
  if (localtime_r(&secs, &local) == nullptr) std::memset(&local, 0, sizeof local);
  struct tm parsed;
  std::memset(&parsed, 0, sizeof parsed);
  strptime(g_settings.since_text.c_str(), since_format(g_settings.since_text), &parsed);
  if (parsed.tm_mday != 0) {
    local.tm_mday = parsed.tm_mday;
    local.tm_mon = parsed.tm_mon;
    local.tm_year = parsed.tm_year;
  }
  local.tm_hour = parsed.tm_hour;
  local.tm_min = parsed.tm_min;
  local.tm_sec = parsed.tm_sec;
  g_capture.window_start = Timeval{static_cast<int64_t>(mktime(&local)), 0};
}

// Where the IPv4 header starts, or 0 when the frame does not carry IPv4.
size_t ipv4_offset(const PacketReader& frame, bool* short_frame) {
  *short_frame = false;
  if (g_capture.link_type == LINK_ETHERNET) {
    HeaderView<ETHERNET_HEADER> eth;
    if (!frame.header(0, &eth)) return *short_frame = true, 0;
    return eth.be16<12>() == ETHERTYPE_IPV4 ? ETHERNET_HEADER : 0;
  }
  if (g_capture.link_type == LINK_NULL) {
    HeaderView<NULL_HEADER> null;
    if (!frame.header(0, &null)) return *short_frame = true, 0;
    uint32_t family = null.raw32<0>();
    // The family is in the capturing host's byte order. In a savefile from a host of
    // the other order it reads swapped here; libpcap's filter already allows for
    // that and passes the packets, so reading it unswapped would drop every one.
    if (g_capture.swapped) family = __builtin_bswap32(family);
    return family == FAMILY_INET ? NULL_HEADER : 0;
  }
  return 0;
}

// What the tracker is handed for one segment: the flags decide the handler.
enum class Handler : uint8_t { RESET, SYNACK, SYN, FIN };

struct Decoded {
  TcpSegment seg;
  Handler handler;
  uint32_t payload;  // FIN only: the TCP payload length
};

// Keeps the run's clock and decodes one packet down to the segment the tracker
// needs; false when the packet goes no further. QUIET_FILE_RUN: a file run without
// -d and -m (see can_defer_segments), where no signal can stop the run and nothing
// is traced, so those checks are left out of the code.
template <bool QUIET_FILE_RUN>
bool decode(const struct pcap_pkthdr* header, const u_char* bytes, Decoded* out) {
  // A stop was requested (live runs): the loop produces the report; this packet
  // and any later one are not handled.
  if (!QUIET_FILE_RUN && g_capture.stop_requested != 0) return false;

  const Timeval now{static_cast<int64_t>(header->ts.tv_sec),
                    static_cast<int64_t>(header->ts.tv_usec)};
  if (QUIET_FILE_RUN || g_capture.offline) {
    if (!g_capture.first_packet_seen) {
      g_capture.start_time = now;
      g_capture.first_packet_seen = true;
    }
    g_capture.end_time = now;
  }
  if (!QUIET_FILE_RUN && g_settings.status_every != 0) maybe_print_status(now);
  if (g_capture.packet_count == 0) set_window_start(now);
  g_capture.packet_count++;

  const int debug = QUIET_FILE_RUN ? 0 : g_settings.debug;
  if (debug >= 2) {
    static constexpr char GOT_PACKET_FMT[] = "Got packet %d:len = %d, caplen = %d\n\n";
    TRACE(GOT_PACKET_FMT, static_cast<int>(++g_capture.trace_packet_number),
          static_cast<int>(header->len), static_cast<int>(header->caplen));
  }

  const PacketReader frame{bytes, header->caplen};
  bool short_frame;
  const size_t ip = ipv4_offset(frame, &short_frame);
  if (short_frame) return false;
  if (ip == 0) {
    static constexpr char NOT_IP_FMT[] = "Not IP packet\n\n";
    if (debug >= 2) TRACE(NOT_IP_FMT);
    return false;
  }

  // The fixed IPv4 header holds everything read from it: lengths, protocol and
  // both addresses.
  HeaderView<IPV4_MIN_HEADER> ip_header;
  if (!frame.header(ip, &ip_header)) return false;
  const uint8_t version_ihl = ip_header.u8<0>();
  const uint8_t proto = ip_header.u8<9>();
  const uint16_t total_len = ip_header.be16<2>();
  const int ip_hlen = (version_ihl & 0x0f) * 4;
  if (debug >= 2) {
    static constexpr char PROTO_FMT[] = "Proto = %u\n\n";
    TRACE(PROTO_FMT, static_cast<unsigned>(proto));
  }
  if (proto != PROTO_TCP) {
    static constexpr char NOT_TCP_FMT[] = "Not TCP packet\n";
    if (debug >= 2) TRACE(NOT_TCP_FMT);
    return false;
  }
  if (debug >= 2) {
    static constexpr char FOUND_TCP_FMT[] = "FOUND TCP/IP PACKET\n\n";
    static constexpr char IP_HLEN_FMT[] = "IP hdr len = %d\n\n";
    static constexpr char IP_TOTAL_FMT[] = "IP total len = %d\n\n";
    TRACE(FOUND_TCP_FMT);
    TRACE(IP_HLEN_FMT, ip_hlen);
    TRACE(IP_TOTAL_FMT, static_cast<int>(total_len));
  }

  // Only whole seconds are compared: the window is a "since this second" filter.
  if (g_capture.window_start.sec >= now.sec) {
    static constexpr char OLD_PACKET_FMT[] = "%s\n";
    if (debug >= 2) TRACE(OLD_PACKET_FMT, "Dropping old pkt");
    return false;
  }

  // A header length below the fixed header cannot be trusted to locate the TCP
  // header. IPv4 options are never read, so they need not have been captured.
  if (ip_hlen < static_cast<int>(IPV4_MIN_HEADER)) return false;
  const size_t tcp = ip + static_cast<size_t>(ip_hlen);
  TcpSegment& seg = out->seg;
  // Ports, sequence numbers, data offset and flags: the first 14 bytes, the only
  // TCP bytes ever read. A header-only capture (tcpdump -s 68, say) cuts the
  // options of most SYNs and SYN-ACKs; the segment is still whole for us.
  HeaderView<TCP_READ_BYTES> tcp_start;
  if (!frame.header(tcp, &tcp_start)) return false;
  seg.sport = tcp_start.be16<0>();
  seg.dport = tcp_start.be16<2>();
  seg.seq = tcp_start.be32<4>();
  seg.ack = tcp_start.be32<8>();
  const uint8_t offset_byte = tcp_start.u8<12>();
  seg.flags = tcp_start.u8<13>();
  const int tcp_hlen = (offset_byte >> 4) * 4;
  const int seg_len = static_cast<int>(total_len) - ip_hlen;
  if (debug >= 2) {
    static constexpr char TCP_LEN_FMT[] = "TCP data offset = %d, TCP len = %d\n\n";
    TRACE(TCP_LEN_FMT, tcp_hlen, seg_len);
  }
  // The header length only measures a FIN's payload (from the IPv4 total length,
  // not from captured bytes); a value below the fixed header is malformed.
  if (tcp_hlen < static_cast<int>(TCP_MIN_HEADER)) return false;
  seg.time = now;
  seg.src = ip_header.raw32<12>();
  seg.dst = ip_header.raw32<16>();

  out->payload = 0;
  if (seg.flags & TCP_RST) {
    out->handler = Handler::RESET;
  } else if (seg.flags & TCP_SYN) {
    out->handler = (seg.flags & TCP_ACK) ? Handler::SYNACK : Handler::SYN;
  } else if (seg.flags & TCP_FIN) {
    // The payload moves the FIN sender's end point. A total length shorter than the
    // headers leaves it unknown: the datagram is malformed and is dropped rather
    // than measured with a negative length.
    const int payload = seg_len - tcp_hlen;
    if (payload < 0) return false;
    out->handler = Handler::FIN;
    out->payload = static_cast<uint32_t>(payload);
  } else {
    return false;
  }
  return true;
}

void dispatch(const Decoded& d) {
  switch (d.handler) {
    case Handler::RESET:
      handle_close(d.seg, true, 0);
      break;
    case Handler::SYNACK:
      handle_synack(d.seg);
      break;
    case Handler::SYN:
      handle_syn(d.seg);
      break;
    case Handler::FIN:
      handle_close(d.seg, false, d.payload);
      break;
  }
}

// The client endpoint whose record the handler will look up: the sender of a SYN,
// otherwise the side whose port is not the monitored one.
void client_endpoint(const Decoded& d, uint32_t* addr, uint32_t* port) {
  const TcpSegment& s = d.seg;
  if (d.handler == Handler::SYN) {
    *addr = s.src;
    *port = s.sport;
    return;
  }
  *port = s.sport == g_settings.port ? s.dport : s.sport;
  *addr = *port == s.sport ? s.src : s.dst;
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
    Decoded d;
    ConnLookup lookup;  // of the client endpoint the handler will look up
  };
  Entry entries[2][BATCH];
  int filling = 0;     // the batch being filled
  size_t filled = 0;   // its segments
  size_t waiting = 0;  // segments of the other batch, whose records are on their way
};

SegmentBatches g_batches;

// The batch being filled is complete (or the run is over): fetch its index lines,
// hand on the waiting batch, then fetch the new batch's records (its index lines
// have arrived meanwhile, and the guesses see every earlier segment's changes).
void advance_batches() {
  SegmentBatches& b = g_batches;
  SegmentBatches::Entry* full = b.entries[b.filling];
  SegmentBatches::Entry* waiting = b.entries[1 - b.filling];
  for (size_t i = 0; i < b.filled; i++) {
    uint32_t addr, port;
    client_endpoint(full[i].d, &addr, &port);
    conn_prepare(&full[i].lookup, addr, port);
  }
  for (size_t i = 0; i < b.waiting; i++) {
    conn_set_hint(&waiting[i].lookup);
    dispatch(waiting[i].d);
  }
  conn_set_hint(nullptr);
  for (size_t i = 0; i < b.filled; i++) conn_locate(&full[i].lookup);
  b.waiting = b.filled;
  b.filled = 0;
  b.filling = 1 - b.filling;
}

}  // namespace

void handle_packet(u_char*, const struct pcap_pkthdr* header, const u_char* bytes) {
  Decoded d;
  if (decode<false>(header, bytes, &d)) dispatch(d);
}

bool can_defer_segments() {
  return g_capture.offline && g_settings.debug == 0 && g_settings.status_every == 0;
}

void handle_packet_deferred(u_char*, const struct pcap_pkthdr* header, const u_char* bytes) {
  SegmentBatches& b = g_batches;
  SegmentBatches::Entry& e = b.entries[b.filling][b.filled];
  if (!decode<true>(header, bytes, &e.d)) return;
  if (++b.filled == BATCH) advance_batches();
}

void flush_deferred_segments() {
  advance_batches();
  advance_batches();
}

void reset_deferred_segments() { g_batches = SegmentBatches{}; }
