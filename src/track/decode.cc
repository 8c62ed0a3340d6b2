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
  if (g_capture.link_type == LINK_NULL) {
    uint32_t family;
    if (!frame.raw32(0, &family)) return *short_frame = true, 0;
    // The family is in the capturing host's byte order. In a savefile from a host of
    // the other order it reads swapped here; libpcap's filter already allows for
    // that and passes the packets, so reading it unswapped would drop every one.
    if (g_capture.swapped) family = __builtin_bswap32(family);
    return family == FAMILY_INET ? NULL_HEADER : 0;
  }
  if (g_capture.link_type == LINK_ETHERNET) {
    uint16_t type;
    if (!frame.be16(12, &type)) return *short_frame = true, 0;
    return type == ETHERTYPE_IPV4 ? ETHERNET_HEADER : 0;
  }
  return 0;
}

}  // namespace

void handle_packet(u_char*, const struct pcap_pkthdr* header, const u_char* bytes) {
  // A stop was requested (live runs): the loop produces the report; this packet
  // and any later one are not handled.
  if (g_capture.stop_requested != 0) return;

  const Timeval now{static_cast<int64_t>(header->ts.tv_sec),
                    static_cast<int64_t>(header->ts.tv_usec)};
  if (g_capture.offline) {
    if (!g_capture.first_packet_seen) {
      g_capture.start_time = now;
      g_capture.first_packet_seen = true;
    }
    g_capture.end_time = now;
  }
  if (g_settings.status_every != 0) maybe_print_status(now);
  if (g_capture.packet_count == 0) set_window_start(now);
  g_capture.packet_count++;

  const int debug = g_settings.debug;
  if (debug >= 2) {
    static constexpr char GOT_PACKET_FMT[] = "Got packet %d:len = %d, caplen = %d\n\n";
    TRACE(GOT_PACKET_FMT, static_cast<int>(++g_capture.trace_packet_number),
          static_cast<int>(header->len), static_cast<int>(header->caplen));
  }

  const PacketReader frame{bytes, header->caplen};
  bool short_frame;
  const size_t ip = ipv4_offset(frame, &short_frame);
  if (short_frame) return;
  if (ip == 0) {
    static constexpr char NOT_IP_FMT[] = "Not IP packet\n\n";
    if (debug >= 2) TRACE(NOT_IP_FMT);
    return;
  }

  // The fixed IPv4 header holds everything read from it: lengths, protocol and
  // both addresses.
  if (!frame.has(ip, IPV4_MIN_HEADER)) return;
  uint8_t version_ihl, proto;
  uint16_t total_len;
  frame.u8(ip, &version_ihl);
  frame.u8(ip + 9, &proto);
  frame.be16(ip + 2, &total_len);
  const int ip_hlen = (version_ihl & 0x0f) * 4;
  if (debug >= 2) {
    static constexpr char PROTO_FMT[] = "Proto = %u\n\n";
    TRACE(PROTO_FMT, static_cast<unsigned>(proto));
  }
  if (proto != PROTO_TCP) {
    static constexpr char NOT_TCP_FMT[] = "Not TCP packet\n";
    if (debug >= 2) TRACE(NOT_TCP_FMT);
    return;
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
    return;
  }

  // A header length below the fixed header or past the captured bytes cannot be
  // trusted to locate the TCP header.
  if (ip_hlen < static_cast<int>(IPV4_MIN_HEADER) || !frame.has(ip, static_cast<size_t>(ip_hlen)))
    return;
  const size_t tcp = ip + static_cast<size_t>(ip_hlen);
  TcpSegment seg;
  uint8_t offset_byte;
  if (!frame.be16(tcp, &seg.sport) || !frame.be16(tcp + 2, &seg.dport) ||
      !frame.be32(tcp + 4, &seg.seq) || !frame.be32(tcp + 8, &seg.ack) ||
      !frame.u8(tcp + 12, &offset_byte) || !frame.u8(tcp + 13, &seg.flags))
    return;
  const int tcp_hlen = (offset_byte >> 4) * 4;
  const int seg_len = static_cast<int>(total_len) - ip_hlen;
  if (debug >= 2) {
    static constexpr char TCP_LEN_FMT[] = "TCP data offset = %d, TCP len = %d\n\n";
    TRACE(TCP_LEN_FMT, tcp_hlen, seg_len);
  }
  if (tcp_hlen < static_cast<int>(TCP_MIN_HEADER) || !frame.has(tcp, static_cast<size_t>(tcp_hlen)))
    return;
  seg.time = now;
  frame.raw32(ip + 12, &seg.src);
  frame.raw32(ip + 16, &seg.dst);

  if (seg.flags & TCP_RST) {
    handle_close(seg, true, 0);
  } else if (seg.flags & TCP_SYN) {
    if (seg.flags & TCP_ACK)
      handle_synack(seg);
    else
      handle_syn(seg);
  } else if (seg.flags & TCP_FIN) {
    // The payload moves the FIN sender's end point. A total length shorter than the
    // headers leaves it unknown: the datagram is malformed and is dropped rather
    // than measured with a negative length.
    const int payload = seg_len - tcp_hlen;
    if (payload < 0) return;
    handle_close(seg, false, static_cast<uint32_t>(payload));
  }
}
