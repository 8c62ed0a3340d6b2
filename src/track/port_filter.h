// Native capture filter: the verdict libpcap's compiled program for the run's fixed
// filter expression gives one captured frame, computed without libpcap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "track/packet_reader.h"
#include "track/port_set.h"

// The filter expressions the native check stands in for. Each has its own reading
// of its compiled programs (below), and make() turns down a source it has none for.
enum class FilterExpression : uint8_t {
  // Handshake and close segments of the watched ports, IPv4 only in effect:
  //   (tcp port P)&&((tcp[tcpflags] & (tcp-syn|tcp-fin|tcp-rst)) != 0)
  // for one port P;
  //   ((tcp port P)||(tcp portrange A-B)||...)&&((tcp[tcpflags] & ...) != 0)
  // for several, one term per run of consecutive ports, ascending; and
  //   (tcp)&&((tcp[tcpflags] & (tcp-syn|tcp-fin|tcp-rst)) != 0)
  // for every port.
  HANDSHAKE_AND_CLOSE,
  // The same segments in every framing --decode-all reads: IPv4 as above, or IPv6
  // behind the extension headers the decoder follows,
  //   ((HANDSHAKE_AND_CLOSE)||(IPv6 test))
  // and on Ethernet that, behind no VLAN tag, one or two:
  //   (X)||(vlan&&((X)||(vlan&&(X))))
  // The IPv6 test reads the chain with "ip6[...]" loads (see ipv6_chain in
  // port_filter.cc).
  EVERY_FRAMING,
};

// The exact text libpcap compiles for an expression, its ports and the source's
// link type (only EVERY_FRAMING's text depends on it: Ethernet adds the VLAN
// tags). `narrowing` ("&&(words )", or nothing) is appended to every test of one
// packet, inside the VLAN tags. The native check is exact for this text, with no
// narrowing, compiled without optimisation and for nothing else: a run that uses
// the check must compile this text for its libpcap path too, so that the two cannot
// drift apart.
std::string filter_text(FilterExpression expression, const PortSet& ports, int link_type = 0,
                        const std::string& narrowing = std::string());
inline std::string filter_text(FilterExpression expression, uint16_t port, int link_type = 0) {
  return filter_text(expression, PortSet::of({port}), link_type);
}

// What the filter needs to know about the capture: the link type and byte order
// that libpcap reports for the savefile (pcap_datalink(), pcap_is_swapped()).
struct FilterSource {
  int link_type = 0;
  bool swapped = false;
};

// The native check for one expression, port and capture source. It decides what
// pcap_offline_filter() decides with the program that pcap_compile(handle, &program,
// filter_text(...), 0, netmask) builds on the savefile's own handle: a frame passes
// exactly when that program's verdict is non-zero. The netmask plays no part: the
// expressions have no broadcast test.
class PortFilter {
 public:
  // The check for this source, or nothing when there is none for its link type:
  // the caller then keeps libpcap's program. HANDSHAKE_AND_CLOSE has one on
  // Ethernet and DLT_NULL, EVERY_FRAMING on every link type the decoder reads with
  // --decode-all.
  static std::optional<PortFilter> make(FilterExpression expression, const PortSet& ports,
                                        const FilterSource& source);
  static std::optional<PortFilter> make(FilterExpression expression, uint16_t port,
                                        const FilterSource& source) {
    return make(expression, PortSet::of({port}), source);
  }

  // The program's verdict for a frame of which `caplen` bytes were captured (all
  // that may be read) out of `wire_len` on the wire. Allocates nothing, reads no
  // byte at or past `caplen`.
  bool matches(const uint8_t* frame, uint32_t caplen, uint32_t wire_len) const;

 private:
  // How the network layer's type is found in front of it.
  enum class Framing : uint8_t {
    ETHERNET,     // DLT_EN10MB: the Ethernet type at bytes 12-13 (and after VLAN tags)
    NULL_FAMILY,  // DLT_NULL: a 4-byte address family in the capturing host's order
    // EVERY_FRAMING only:
    SLL,   // DLT_LINUX_SLL: the protocol type at bytes 14-15 of 16
    SLL2,  // DLT_LINUX_SLL2: the protocol type at bytes 0-1 of 20
    RAW,   // DLT_RAW: no link header, the IP version says which
    IPV4,  // DLT_IPV4: IPv4 and nothing else
    IPV6,  // DLT_IPV6: IPv6 and nothing else
  };

  // Bytes of the IPv4 header the program reads at fixed offsets: the version and
  // header length (0), the fragment field (6-7) and the protocol (9).
  static constexpr size_t IPV4_FIXED_READ = 10;
  // TCP bytes the program reads: the ports (0-3) and the flags (13).
  static constexpr size_t TCP_READ = 14;
  static constexpr size_t ETHERNET_HEADER = 14;
  static constexpr size_t NULL_HEADER = 4;
  static constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
  static constexpr uint16_t ETHERTYPE_IPV6 = 0x86dd;
  static constexpr uint8_t PROTO_TCP = 6;
  static constexpr uint16_t FRAGMENT_OFFSET_MASK = 0x1fff;  // RFC 791, section 3.1
  static constexpr uint8_t FIN_SYN_RST = 0x01 | 0x02 | 0x04;

  PortFilter() = default;

  template <size_t IP>
  bool ipv4_tcp_matches(const PacketReader& frame,
                        const HeaderView<IP + IPV4_FIXED_READ>& head) const;
  // EVERY_FRAMING past an Ethernet header that does not announce IPv4, and on the
  // link types only it knows (port_filter.cc).
  bool wider_matches(const PacketReader& frame) const;
  // The network packet at `ip`, as the program tests it: IPv4 or IPv6.
  bool ipv4_at(const PacketReader& frame, size_t ip) const;
  bool ipv6_at(const PacketReader& frame, size_t ip) const;
  // The network packet at `at` behind a link header whose type field says `type`.
  bool by_type(const PacketReader& frame, uint16_t type, size_t at) const {
    if (type == ETHERTYPE_IPV4) return ipv4_at(frame, at);
    return type == ETHERTYPE_IPV6 && ipv6_at(frame, at);
  }
  // The TCP header at `tcp`: flags and ports.
  bool tcp_at(const PacketReader& frame, size_t tcp) const {
    HeaderView<TCP_READ> th;
    if (!frame.header(tcp, &th) || (th.u8<13>() & FIN_SYN_RST) == 0) return false;
    return ports_.every() || ports_.contains(th.be16<0>()) || ports_.contains(th.be16<2>());
  }

  Framing framing_ = Framing::ETHERNET;
  bool every_framing_ = false;
  // DLT_NULL: AF_INET, and the three AF_INET6 values the program accepts, as their
  // four bytes read in this host's order, for a savefile of either byte order.
  uint32_t inet_family_ = 0;
  uint32_t inet6_families_[3] = {};
  PortSet ports_;
};

// What the unoptimised program for HANDSHAKE_AND_CLOSE checks, from bpf_dump() of
// the programs libpcap 1.10 compiles on savefile handles. L is the link header's
// length (14 on Ethernet, 4 on DLT_NULL), "link is X" a load of the Ethernet type
// (ldh [12]) or of the address family (ld [0], compared with the family in the
// file's byte order).
//
//   1. "tcp port P" for IPv6: link is IPv6 (on DLT_NULL any of the BSD values 24, 28,
//      30), next header [L+6] is 6, source port [L+40] or destination port [L+42]
//      is P. A match jumps to step 3, anything else falls through to step 2.
//   2. "tcp port P" for IPv4: link is IPv4, protocol [L+9] is 6, fragment offset
//      [L+6] & 0x1fff is 0, then X = 4 * ([L] & 0xf), the IHL taken as it is (0 to
//      60, no check against the fixed header's 20 bytes), source port [X+L] is P,
//      else destination port [X+L+2] is P. Otherwise reject.
//   3. The flags part: link is IPv4 again (so a frame that came through step 1 is
//      rejected here: the IPv6 branch never passes anything), protocol and fragment
//      offset again, and the TCP flags byte [X+L+13] has FIN, SYN or RST set. The
//      TCP data offset is never read.
//
// A load past the captured length rejects the frame on the spot. Every load on a
// path to acceptance lies below X+L+14 (the flags byte) or below L+10, so "all the
// loads the program makes were in bounds" comes down to two checks, and the order in
// which the program makes them (the destination port only when the source port did
// not match) cannot change a verdict.
//
// Several ports are a disjunction of such port tests (a "portrange" term compares
// the same two loads with its bounds) before the same flags part: the frame passes
// when its source or destination port is one of them. Every port ("tcp" for the
// port part) tests the link and the protocol the flags part tests again, and no
// port: the flags part alone decides.
//
// EVERY_FRAMING, from the same dumps on every link type it is made for. The link
// tests are loads of the type field as above (ldh [14] on SLL, ldh [0] on SLL2),
// of the version nibble on DLT_RAW (ldb [0] & 0xf0 against 0x40 or 0x60), and
// constants on DLT_IPV4 and DLT_IPV6 ("ld #0; jeq #0": IPv4 always, IPv6 never, or
// the other way round). Unoptimised, every comparison of the IPv6 test first runs
// its "ip6" link test and then all of its loads, each of them again from the
// packet. So:
//
//   - A frame the link calls IPv4 runs the HANDSHAKE_AND_CLOSE part as above, at
//     its own L (16 on SLL, 20 on SLL2, 0 on the raw links); when that rejects, the
//     IPv6 test's first link test rejects it too.
//   - A frame the link calls IPv6 runs step 1 above, whose loads ([L+6], the ports
//     at [L+40] and [L+42], for every port "ip6 proto 6" with [L+40] behind a
//     fragment header) are all loads the IPv6 test makes before it could pass, and
//     step 3 rejects it at its IPv4 link test. The IPv6 test then decides: up to
//     IPV6_MAX_OPTION_HEADERS Hop-by-Hop, Routing or Destination Options headers
//     (next header in byte 0, length in byte 1), then TCP, or a fragment header
//     whose bytes 0-3 & 0xff00fff8 are 0x06000000 and TCP 8 bytes behind it; then
//     the port at TCP byte 0 or 2 (every port: none) and the flags at 13. No
//     alternative it tries after a load past the captured length could have passed
//     (each is chosen by a different next header), so it passes exactly when the
//     walk finds all its bytes captured and they say so.
//   - Anything else is rejected: no load of the IPv4 or IPv6 parts follows a link
//     test that failed.
//   - On Ethernet the same runs at L = 14; when the type at 12 is a VLAN tag
//     (0x8100, 0x88a8, 0x9100), again with the type at 16 and L = 18, and then,
//     behind a second tag, at 20 and L = 22; a third tag is rejected. Each untagged
//     attempt before a tagged one loads nothing but the type, which is captured.
//
// decode_all_filter_test holds the decoder to the same chains.
inline bool PortFilter::matches(const uint8_t* frame_bytes, uint32_t caplen,
                                uint32_t /*wire_len: no expression reads it*/) const {
  const PacketReader frame{frame_bytes, caplen};
  switch (framing_) {
    case Framing::ETHERNET: {
      HeaderView<ETHERNET_HEADER + IPV4_FIXED_READ> head;
      if (frame.header(0, &head) && head.be16<12>() == ETHERTYPE_IPV4)
        return ipv4_tcp_matches<ETHERNET_HEADER>(frame, head);
      return every_framing_ && wider_matches(frame);
    }
    case Framing::NULL_FAMILY: {
      HeaderView<NULL_HEADER + IPV4_FIXED_READ> head;
      if (frame.header(0, &head) && head.raw32<0>() == inet_family_)
        return ipv4_tcp_matches<NULL_HEADER>(frame, head);
      return every_framing_ && wider_matches(frame);
    }
    default:
      return wider_matches(frame);
  }
}

template <size_t IP>
inline bool PortFilter::ipv4_tcp_matches(const PacketReader& frame,
                                         const HeaderView<IP + IPV4_FIXED_READ>& head) const {
  if (head.template u8<IP + 9>() != PROTO_TCP) return false;
  if ((head.template be16<IP + 6>() & FRAGMENT_OFFSET_MASK) != 0) return false;
  return tcp_at(frame, IP + 4 * static_cast<size_t>(head.template u8<IP>() & 0x0f));
}
