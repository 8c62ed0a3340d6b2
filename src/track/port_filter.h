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
// of its compiled programs (below for the one there is), and make() turns down a
// source it has none for.
enum class FilterExpression : uint8_t {
  // Handshake and close segments of the watched ports, IPv4 only in effect:
  //   (tcp port P)&&((tcp[tcpflags] & (tcp-syn|tcp-fin|tcp-rst)) != 0)
  // for one port P;
  //   ((tcp port P)||(tcp portrange A-B)||...)&&((tcp[tcpflags] & ...) != 0)
  // for several, one term per run of consecutive ports, ascending; and
  //   (tcp)&&((tcp[tcpflags] & (tcp-syn|tcp-fin|tcp-rst)) != 0)
  // for every port.
  HANDSHAKE_AND_CLOSE,
};

// The exact text libpcap compiles for an expression and its ports. The native check
// is exact for this text compiled without optimisation and for nothing else: a run
// that uses the check must compile this text for its libpcap path too, so that the
// two cannot drift apart.
std::string filter_text(FilterExpression expression, const PortSet& ports);
inline std::string filter_text(FilterExpression expression, uint16_t port) {
  return filter_text(expression, PortSet::of({port}));
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
// expression has no broadcast test.
class PortFilter {
 public:
  // The check for this source, or nothing when there is none for its link type:
  // the caller then keeps libpcap's program.
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

  // Whether the program's link test takes the frame for IPv4: its Ethernet type is
  // IPv4, or its address family is AF_INET as the file stores it. Such a frame is
  // neither IPv6 nor VLAN-tagged to any test of the link that follows.
  bool ipv4_framed(const uint8_t* frame, uint32_t caplen) const;

 private:
  // How the network layer's type is found in front of it. More framings (Linux
  // cooked captures, raw IP, VLAN tags) each add a case here and in matches().
  enum class Framing : uint8_t {
    ETHERNET,     // DLT_EN10MB: the Ethernet type at bytes 12-13
    NULL_FAMILY,  // DLT_NULL: a 4-byte address family in the capturing host's order
  };

  // Bytes of the IPv4 header the program reads at fixed offsets: the version and
  // header length (0), the fragment field (6-7) and the protocol (9).
  static constexpr size_t IPV4_FIXED_READ = 10;
  // TCP bytes the program reads: the ports (0-3) and the flags (13).
  static constexpr size_t TCP_READ = 14;
  static constexpr size_t ETHERNET_HEADER = 14;
  static constexpr size_t NULL_HEADER = 4;
  static constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
  static constexpr uint8_t PROTO_TCP = 6;
  static constexpr uint16_t FRAGMENT_OFFSET_MASK = 0x1fff;  // RFC 791, section 3.1
  static constexpr uint8_t FIN_SYN_RST = 0x01 | 0x02 | 0x04;

  PortFilter() = default;

  template <size_t IP>
  bool ipv4_tcp_matches(const PacketReader& frame,
                        const HeaderView<IP + IPV4_FIXED_READ>& head) const;

  Framing framing_ = Framing::ETHERNET;
  // DLT_NULL: AF_INET as its four bytes read in this host's order, for a savefile
  // of either byte order.
  uint32_t inet_family_ = 0;
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
inline bool PortFilter::matches(const uint8_t* frame_bytes, uint32_t caplen,
                                uint32_t /*wire_len: no expression reads it yet*/) const {
  const PacketReader frame{frame_bytes, caplen};
  switch (framing_) {
    case Framing::ETHERNET: {
      HeaderView<ETHERNET_HEADER + IPV4_FIXED_READ> head;
      if (!frame.header(0, &head) || head.be16<12>() != ETHERTYPE_IPV4) return false;
      return ipv4_tcp_matches<ETHERNET_HEADER>(frame, head);
    }
    case Framing::NULL_FAMILY: {
      HeaderView<NULL_HEADER + IPV4_FIXED_READ> head;
      if (!frame.header(0, &head) || head.raw32<0>() != inet_family_) return false;
      return ipv4_tcp_matches<NULL_HEADER>(frame, head);
    }
  }
  return false;
}

inline bool PortFilter::ipv4_framed(const uint8_t* frame_bytes, uint32_t caplen) const {
  const PacketReader frame{frame_bytes, caplen};
  switch (framing_) {
    case Framing::ETHERNET: {
      HeaderView<ETHERNET_HEADER> head;
      return frame.header(0, &head) && head.be16<12>() == ETHERTYPE_IPV4;
    }
    case Framing::NULL_FAMILY: {
      HeaderView<NULL_HEADER> head;
      return frame.header(0, &head) && head.raw32<0>() == inet_family_;
    }
  }
  return false;
}

template <size_t IP>
inline bool PortFilter::ipv4_tcp_matches(const PacketReader& frame,
                                         const HeaderView<IP + IPV4_FIXED_READ>& head) const {
  if (head.template u8<IP + 9>() != PROTO_TCP) return false;
  if ((head.template be16<IP + 6>() & FRAGMENT_OFFSET_MASK) != 0) return false;
  const size_t tcp = IP + 4 * static_cast<size_t>(head.template u8<IP>() & 0x0f);
  HeaderView<TCP_READ> th;
  if (!frame.header(tcp, &th)) return false;
  if ((th.u8<13>() & FIN_SYN_RST) == 0) return false;
  if (ports_.every()) return true;
  return ports_.contains(th.be16<0>()) || ports_.contains(th.be16<2>());
}
