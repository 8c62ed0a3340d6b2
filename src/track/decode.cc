#include "track/decode.h"

#include <pcap/dlt.h>

namespace {

constexpr uint32_t FAMILY_INET = 2;  // the BSD loopback header's AF_INET
// AF_INET6 as the systems that write BSD loopback headers number it: NetBSD and
// OpenBSD, FreeBSD, macOS. These are the values libpcap's "ip6" accepts in a capture
// file, whatever system reads it.
constexpr uint32_t FAMILIES_INET6[] = {24, 28, 30};
constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr uint16_t ETHERTYPE_IPV6 = 0x86dd;
// The tag protocol identifiers libpcap's "vlan" knows: 802.1Q, 802.1ad and the
// older QinQ value.
constexpr uint16_t VLAN_TPIDS[] = {0x8100, 0x88a8, 0x9100};
// A customer tag inside a service tag, and no deeper: the capture filter passes no
// more (see decode_all_filter_expression).
constexpr int MAX_VLAN_TAGS = 2;
constexpr size_t ETHERNET_HEADER = 14;
constexpr size_t VLAN_TAG = 4;  // the tag control information and the next type
constexpr size_t NULL_HEADER = 4;
constexpr size_t SLL_HEADER = 16;       // the protocol type at 14
constexpr size_t SLL2_HEADER = 20;      // the protocol type at 0
constexpr size_t IPV4_MIN_HEADER = 20;  // RFC 791, section 3.1
constexpr size_t IPV6_HEADER = 40;      // RFC 8200, section 3
constexpr size_t TCP_MIN_HEADER = 20;   // RFC 793, section 3.1
constexpr size_t TCP_READ_BYTES = 14;   // ports, sequence numbers, data offset, flags
constexpr uint8_t PROTO_TCP = 6;
// The IPv6 extension headers TCP is read behind (RFC 8200, section 4): the three
// whose length is in their second byte, in units of 8 bytes after the first 8,
// and the fragment header.
constexpr uint8_t PROTO_HOP_BY_HOP = 0;
constexpr uint8_t PROTO_ROUTING = 43;
constexpr uint8_t PROTO_FRAGMENT = 44;
constexpr uint8_t PROTO_DESTINATION_OPTIONS = 60;
constexpr size_t OPTION_HEADER_READ = 2;  // next header, length
constexpr size_t FRAGMENT_HEADER = 8;
constexpr size_t FRAGMENT_HEADER_READ = 4;  // next header, reserved, offset and flags
constexpr uint16_t FRAGMENT_OFFSET_MASK = 0xfff8;

bool is_option_header(uint8_t next) {
  return next == PROTO_HOP_BY_HOP || next == PROTO_ROUTING || next == PROTO_DESTINATION_OPTIONS;
}

// Follows an IPv6 packet's extension headers from `*at` (just past the fixed header,
// whose next header is `*next`) to the header that is not one of them: up to
// IPV6_MAX_OPTION_HEADERS of Hop-by-Hop, Routing and Destination Options in any
// order, then perhaps a fragment header that starts its datagram. This is the chain
// the capture filter of --decode-all passes (see decode_all_filter_expression),
// and no longer: a deeper chain stops at its third such header, a later fragment
// at its fragment header, each "not TCP". Only the bytes named are read, and those
// only when captured: a chain cut short is SHORT_IP.
DecodeStatus past_extension_headers(const PacketReader& frame, size_t* at, uint8_t* next) {
  for (int passed = 0; is_option_header(*next); ++passed) {
    if (passed == IPV6_MAX_OPTION_HEADERS) return DecodeStatus::NOT_TCP;
    HeaderView<OPTION_HEADER_READ> option;
    if (!frame.header(*at, &option)) return DecodeStatus::SHORT_IP;
    *next = option.u8<0>();
    *at += (static_cast<size_t>(option.u8<1>()) + 1) * 8;
  }
  if (*next != PROTO_FRAGMENT) return DecodeStatus::SEGMENT;
  HeaderView<FRAGMENT_HEADER_READ> fragment;
  if (!frame.header(*at, &fragment)) return DecodeStatus::SHORT_IP;
  // A later fragment holds no TCP header: the segment is read from the first one,
  // its TCP header after the fragment header.
  if ((fragment.be16<2>() & FRAGMENT_OFFSET_MASK) != 0) return DecodeStatus::NOT_TCP;
  *next = fragment.u8<0>();
  *at += FRAGMENT_HEADER;
  return DecodeStatus::SEGMENT;
}

bool is_vlan_tag(uint16_t type) {
  for (uint16_t tpid : VLAN_TPIDS)
    if (type == tpid) return true;
  return false;
}

// Where a network header announced by an Ethernet type starts (with --decode-all,
// whose frames only come here).
DecodeStatus by_type(uint16_t type, size_t at, size_t* offset, Family* family) {
  *offset = at;
  if (type == ETHERTYPE_IPV4) {
    *family = Family::IPV4;
    return DecodeStatus::SEGMENT;
  }
  if (type == ETHERTYPE_IPV6) {
    *family = Family::IPV6;
    return DecodeStatus::SEGMENT;
  }
  return DecodeStatus::NOT_IP;
}

// The Ethernet type that follows the frame's VLAN tags, and where it ends.
DecodeStatus past_vlan_tags(const PacketReader& frame, uint16_t* type, size_t* at) {
  for (int tags = 0; is_vlan_tag(*type); ++tags) {
    if (tags == MAX_VLAN_TAGS) return DecodeStatus::NOT_IP;
    HeaderView<VLAN_TAG> tag;
    if (!frame.header(*at, &tag)) return DecodeStatus::SHORT_LINK;
    *type = tag.be16<2>();
    *at += VLAN_TAG;
  }
  return DecodeStatus::SEGMENT;
}

bool is_inet6_family(uint32_t family) {
  for (uint32_t f : FAMILIES_INET6)
    if (family == f) return true;
  return false;
}

// The link types only --decode-all reads: where the network header starts, and its
// family.
DecodeStatus wider_network_offset(const PacketReader& frame, const LinkInfo& link, size_t* offset,
                                  Family* family) {
  if (link.dlt == DLT_LINUX_SLL) {
    HeaderView<SLL_HEADER> sll;
    if (!frame.header(0, &sll)) return DecodeStatus::SHORT_LINK;
    return by_type(sll.be16<14>(), SLL_HEADER, offset, family);
  }
  if (link.dlt == DLT_LINUX_SLL2) {
    HeaderView<SLL2_HEADER> sll2;
    if (!frame.header(0, &sll2)) return DecodeStatus::SHORT_LINK;
    return by_type(sll2.be16<0>(), SLL2_HEADER, offset, family);
  }
  *offset = 0;
  if (link.dlt == DLT_IPV4 || link.dlt == DLT_IPV6) {
    *family = link.dlt == DLT_IPV4 ? Family::IPV4 : Family::IPV6;
    return DecodeStatus::SEGMENT;
  }
  if (link.dlt == DLT_RAW) {
    // No link header: the IP version says which it is.
    uint8_t first;
    if (!frame.u8(0, &first)) return DecodeStatus::SHORT_IP;
    *family = (first >> 4) == 6 ? Family::IPV6 : Family::IPV4;
    return (first >> 4) == 4 || (first >> 4) == 6 ? DecodeStatus::SEGMENT : DecodeStatus::NOT_IP;
  }
  return DecodeStatus::NOT_IP;
}

// Where the network header starts, and its family; SHORT_LINK or NOT_IP when the
// frame has none. WIDE: --decode-all. Without it this is the decoder it always was:
// IPv4 on Ethernet and BSD loopback, compiled apart so that nothing of the rest
// costs it an instruction.
template <bool WIDE>
DecodeStatus network_offset(const PacketReader& frame, const LinkInfo& link, size_t* offset,
                            Family* family) {
  if (link.dlt == DLT_EN10MB) {
    HeaderView<ETHERNET_HEADER> eth;
    if (!frame.header(0, &eth)) return DecodeStatus::SHORT_LINK;
    *offset = ETHERNET_HEADER;
    uint16_t type = eth.be16<12>();
    if (type == ETHERTYPE_IPV4) return DecodeStatus::SEGMENT;
    if (!WIDE) return DecodeStatus::NOT_IP;
    size_t at = ETHERNET_HEADER;
    const DecodeStatus tags = past_vlan_tags(frame, &type, &at);
    if (tags != DecodeStatus::SEGMENT) return tags;
    return by_type(type, at, offset, family);
  }
  if (link.dlt == DLT_NULL) {
    HeaderView<NULL_HEADER> null;
    if (!frame.header(0, &null)) return DecodeStatus::SHORT_LINK;
    uint32_t family_field = null.raw32<0>();
    // The family is in the capturing host's byte order. In a savefile from a host of
    // the other order it reads swapped here; libpcap's filter already allows for
    // that and passes the packets, so reading it unswapped would drop every one.
    if (link.swapped) family_field = __builtin_bswap32(family_field);
    *offset = NULL_HEADER;
    if (WIDE && is_inet6_family(family_field)) {
      *family = Family::IPV6;
      return DecodeStatus::SEGMENT;
    }
    return family_field == FAMILY_INET ? DecodeStatus::SEGMENT : DecodeStatus::NOT_IP;
  }
  if (!WIDE) return DecodeStatus::NOT_IP;
  return wider_network_offset(frame, link, offset, family);
}

template <bool WIDE>
DecodeStatus decode(const PacketReader& frame, const LinkInfo& link, DecodedFrame* out) {
  size_t ip = 0;
  Family family = Family::IPV4;
  const DecodeStatus framing = network_offset<WIDE>(frame, link, &ip, &family);
  if (framing != DecodeStatus::SEGMENT) return framing;

  HeaderView<TCP_READ_BYTES> tcp;
  uint32_t src4 = 0, dst4 = 0;
  if (!WIDE || family == Family::IPV4) {
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
    if (!frame.header(ip + static_cast<size_t>(out->ip_header_length), &tcp))
      return DecodeStatus::SHORT_TCP;
    src4 = ip_header.raw32<12>();
    dst4 = ip_header.raw32<16>();
  } else {
    // TCP after the fixed header and the extension headers the capture filter
    // passes (see past_extension_headers). The version field is not examined.
    HeaderView<IPV6_HEADER> ip_header;
    if (!frame.header(ip, &ip_header)) return DecodeStatus::SHORT_IP;
    // The payload length counts the extension headers: the header length takes them
    // in, so that a FIN's payload is measured from the TCP header on.
    out->ip_total_length = static_cast<int>(IPV6_HEADER) + ip_header.be16<4>();
    size_t at = ip + IPV6_HEADER;
    uint8_t next = ip_header.u8<6>();
    const DecodeStatus chain = past_extension_headers(frame, &at, &next);
    out->protocol = next;
    out->ip_header_length = static_cast<int>(at - ip);
    if (chain != DecodeStatus::SEGMENT) return chain;
    if (out->protocol != PROTO_TCP) return DecodeStatus::NOT_TCP;
    if (!frame.header(at, &tcp)) return DecodeStatus::SHORT_TCP;
    ip_header.copy<8>(out->src6.bytes);
    ip_header.copy<24>(out->dst6.bytes);
  }
  Segment& seg = out->seg;
  seg.src = Endpoint{IpAddr{src4}, tcp.be16<0>(), family};
  seg.dst = Endpoint{IpAddr{dst4}, tcp.be16<2>(), family};
  seg.seq = tcp.be32<4>();
  seg.ack = tcp.be32<8>();
  seg.flags = tcp.u8<13>();
  out->tcp_header_length = (tcp.u8<12>() >> 4) * 4;
  out->tcp_length = out->ip_total_length - out->ip_header_length;
  // The header length only measures a FIN's payload (from the IP total length, not
  // from captured bytes); a value below the fixed header is malformed.
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

}  // namespace

bool classic_framing(const PacketReader& frame, const LinkInfo& link) {
  size_t offset = 0;
  Family family = Family::IPV4;
  return network_offset<false>(frame, link, &offset, &family) == DecodeStatus::SEGMENT;
}

bool link_supported(int dlt, bool decode_all) {
  if (dlt == DLT_EN10MB || dlt == DLT_NULL) return true;
  return decode_all && (dlt == DLT_LINUX_SLL || dlt == DLT_LINUX_SLL2 || dlt == DLT_RAW ||
                        dlt == DLT_IPV4 || dlt == DLT_IPV6);
}

DecodeStatus decode_frame(const PacketReader& frame, const LinkInfo& link, DecodedFrame* out) {
  return link.decode_all ? decode<true>(frame, link, out) : decode<false>(frame, link, out);
}
