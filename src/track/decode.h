// Frame decoding: from the bytes of one captured frame to the TCP segment the
// tracker is handed. Pure: it prints nothing, reads no clock and changes no state;
// the packet loop decides what to do with the result.
#pragma once

#include <cstdint>

#include "track/packet_reader.h"
#include "track/segment.h"

// How the frames of a source are framed: libpcap's DLT_* value, and whether the
// savefile was written on a host of the other byte order (what the capturing host
// stored in its own order, the loopback link's address family, reads swapped).
// `decode_all` (--decode-all) also reads IPv6, VLAN tags and the link types
// link_supported() adds; without it a frame is read exactly as it always was.
struct LinkInfo {
  int dlt = -1;
  bool swapped = false;
  bool decode_all = false;
};

// Whether frames of this link type can be decoded: Ethernet and BSD loopback always;
// with --decode-all also Linux cooked captures (-i any; v1 and v2) and raw IP (raw
// IPv4 or IPv6 alike, and the two link types that say which).
bool link_supported(int dlt, bool decode_all);

// Whether the frame is framed as a run without --decode-all reads it (IPv4 on
// Ethernet, AF_INET on BSD loopback), whatever follows the link header.
bool classic_framing(const PacketReader& frame, const LinkInfo& link);

// The most of Hop-by-Hop, Routing and Destination Options headers, in any order,
// that an IPv6 packet's TCP header is read behind (a fragment header that starts
// its datagram may follow them). The capture filter of --decode-all passes the same
// chains: each header deeper doubles the part of its program that reads them, and
// with a third the program for tagged Ethernet outgrows what the kernel accepts.
constexpr int IPV6_MAX_OPTION_HEADERS = 2;

// Where decoding stopped, in the order of the steps: every status after NOT_TCP
// means the frame carries TCP over IP, every status after SHORT_TCP that the TCP
// header's first bytes were read.
enum class DecodeStatus : uint8_t {
  SHORT_LINK,            // too short for the link header (and its VLAN tags)
  NOT_IP,                // not IP on this link (not IPv4 without --decode-all)
  SHORT_IP,              // too short for the fixed IPv4 or IPv6 header, or IPv6 extension headers
  NOT_TCP,               // with IPv6 also: a later fragment, a chain of extension headers too deep
  BAD_IP_HEADER_LENGTH,  // an IPv4 header length below the fixed header
  SHORT_TCP,             // TCP bytes 0 to 13 not captured
  BAD_TCP_HEADER_LENGTH,
  NO_HANDLER,      // neither RST, SYN nor FIN
  BAD_FIN_LENGTH,  // a FIN whose total length is shorter than its headers
  SEGMENT,         // a segment for the tracker
};

// Which handler a segment goes to: the flags decide, first match wins.
enum class SegmentKind : uint8_t { RESET, SYNACK, SYN, FIN };

struct DecodedFrame {
  // The header fields the packet traces show, valid as far as decoding got. An
  // IPv6 packet's protocol is the next header where its extension headers end (or
  // where they stop being read), its header length the fixed 40 bytes and the
  // extension headers read, and its total length 40 plus the payload length.
  uint8_t protocol = 0;
  int ip_header_length = 0;
  int ip_total_length = 0;
  int tcp_header_length = 0;
  int tcp_length = 0;  // the IP total length less the IP header
  // With SEGMENT: the segment (without its time), its handler and, for a FIN, the
  // payload length. An IPv6 segment's endpoints have the family IPV6 and no address
  // number yet: the addresses are in src6 and dst6 until the pool numbers them
  // (hold_segment_addresses), since decoding changes no state.
  Segment seg;
  SegmentKind kind = SegmentKind::RESET;
  uint32_t payload = 0;
  Ip6Addr src6, dst6;
};

DecodeStatus decode_frame(const PacketReader& frame, const LinkInfo& link, DecodedFrame* out);

// The endpoint whose record the segment's handler looks up: the sender of a SYN,
// otherwise the client.
inline const Endpoint& tracked_endpoint(const DecodedFrame& d, uint16_t port) {
  return d.kind == SegmentKind::SYN ? d.seg.src : client_endpoint(d.seg, port);
}
