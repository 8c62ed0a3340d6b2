#include "track/decode.h"

#include <pcap/dlt.h>

namespace {

constexpr uint32_t FAMILY_INET = 2;  // the BSD loopback header's AF_INET
constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr size_t ETHERNET_HEADER = 14;
constexpr size_t NULL_HEADER = 4;
constexpr size_t IPV4_MIN_HEADER = 20;  // RFC 791, section 3.1
constexpr size_t TCP_MIN_HEADER = 20;   // RFC 793, section 3.1
constexpr size_t TCP_READ_BYTES = 14;   // ports, sequence numbers, data offset, flags
constexpr uint8_t PROTO_TCP = 6;

// Where the IPv4 header starts; SHORT_LINK or NOT_IP when the frame has none.
DecodeStatus ipv4_offset(const PacketReader& frame, const LinkInfo& link, size_t* offset) {
  if (link.dlt == DLT_EN10MB) {
    HeaderView<ETHERNET_HEADER> eth;
    if (!frame.header(0, &eth)) return DecodeStatus::SHORT_LINK;
    *offset = ETHERNET_HEADER;
    return eth.be16<12>() == ETHERTYPE_IPV4 ? DecodeStatus::SEGMENT : DecodeStatus::NOT_IP;
  }
  if (link.dlt == DLT_NULL) {
    HeaderView<NULL_HEADER> null;
    if (!frame.header(0, &null)) return DecodeStatus::SHORT_LINK;
    uint32_t family = null.raw32<0>();
    // The family is in the capturing host's byte order. In a savefile from a host of
    // the other order it reads swapped here; libpcap's filter already allows for
    // that and passes the packets, so reading it unswapped would drop every one.
    if (link.swapped) family = __builtin_bswap32(family);
    *offset = NULL_HEADER;
    return family == FAMILY_INET ? DecodeStatus::SEGMENT : DecodeStatus::NOT_IP;
  }
  return DecodeStatus::NOT_IP;
}

}  // namespace

DecodeStatus decode_frame(const PacketReader& frame, const LinkInfo& link, DecodedFrame* out) {
  size_t ip = 0;
  const DecodeStatus framing = ipv4_offset(frame, link, &ip);
  if (framing != DecodeStatus::SEGMENT) return framing;

  // The fixed IPv4 header holds everything read from it: lengths, protocol and
  // both addresses. The version field is not examined.
  HeaderView<IPV4_MIN_HEADER> ip_header;
  if (!frame.header(ip, &ip_header)) return DecodeStatus::SHORT_IP;
  out->protocol = ip_header.u8<9>();
  out->ip_header_length = (ip_header.u8<0>() & 0x0f) * 4;
  out->ip_total_length = ip_header.be16<2>();
  if (out->protocol != PROTO_TCP) return DecodeStatus::NOT_TCP;

  // A header length below the fixed header cannot be trusted to locate the TCP
  // header. IPv4 options are never read, so they need not have been captured.
  if (out->ip_header_length < static_cast<int>(IPV4_MIN_HEADER))
    return DecodeStatus::BAD_IP_HEADER_LENGTH;
  // Ports, sequence numbers, data offset and flags: the first 14 bytes, the only
  // TCP bytes ever read. A header-only capture (tcpdump -s 68, say) cuts the
  // options of most SYNs and SYN-ACKs; the segment is still whole for us.
  HeaderView<TCP_READ_BYTES> tcp;
  if (!frame.header(ip + static_cast<size_t>(out->ip_header_length), &tcp))
    return DecodeStatus::SHORT_TCP;
  Segment& seg = out->seg;
  seg.src = Endpoint{IpAddr{ip_header.raw32<12>()}, tcp.be16<0>()};
  seg.dst = Endpoint{IpAddr{ip_header.raw32<16>()}, tcp.be16<2>()};
  seg.seq = tcp.be32<4>();
  seg.ack = tcp.be32<8>();
  seg.flags = tcp.u8<13>();
  out->tcp_header_length = (tcp.u8<12>() >> 4) * 4;
  out->tcp_length = out->ip_total_length - out->ip_header_length;
  // The header length only measures a FIN's payload (from the IPv4 total length,
  // not from captured bytes); a value below the fixed header is malformed.
  if (out->tcp_header_length < static_cast<int>(TCP_MIN_HEADER))
    return DecodeStatus::BAD_TCP_HEADER_LENGTH;

  out->payload = 0;
  if (seg.flags & TCP_RST) {
    out->kind = SegmentKind::RESET;
  } else if (seg.flags & TCP_SYN) {
    out->kind = (seg.flags & TCP_ACK) ? SegmentKind::SYNACK : SegmentKind::SYN;
  } else if (seg.flags & TCP_FIN) {
    // The payload moves the FIN sender's end point. A total length shorter than the
    // headers leaves it unknown: the datagram is malformed and is dropped rather
    // than measured with a negative length.
    const int payload = out->tcp_length - out->tcp_header_length;
    if (payload < 0) return DecodeStatus::BAD_FIN_LENGTH;
    out->kind = SegmentKind::FIN;
    out->payload = static_cast<uint32_t>(payload);
  } else {
    return DecodeStatus::NO_HANDLER;
  }
  return DecodeStatus::SEGMENT;
}
