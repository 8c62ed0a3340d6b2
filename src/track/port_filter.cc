#include "track/port_filter.h"

#include <pcap/dlt.h>
#include <sys/socket.h>

#include <cstdio>

#include "track/decode.h"

namespace {

// AF_INET6 as the systems that write BSD loopback headers number it (NetBSD and
// OpenBSD, FreeBSD, macOS): the values libpcap's "ip6" accepts on DLT_NULL.
constexpr uint32_t INET6_FAMILIES[3] = {24, 28, 30};
// The tag protocol identifiers libpcap's "vlan" knows: 802.1Q, 802.1ad and the
// older QinQ value; the text reads two tags at most.
constexpr uint16_t VLAN_TPIDS[] = {0x8100, 0x88a8, 0x9100};
constexpr int MAX_VLAN_TAGS = 2;
constexpr size_t VLAN_TAG = 4;
constexpr size_t SLL_HEADER = 16;   // the protocol type at 14
constexpr size_t SLL2_HEADER = 20;  // the protocol type at 0
// RFC 8200: the fixed header, its next header field, the extension headers read.
constexpr size_t IPV6_HEADER = 40;
constexpr size_t IPV6_NEXT_HEADER = 6;
constexpr uint8_t PROTO_HOP_BY_HOP = 0;
constexpr uint8_t PROTO_ROUTING = 43;
constexpr uint8_t PROTO_FRAGMENT = 44;
constexpr uint8_t PROTO_DESTINATION_OPTIONS = 60;
constexpr size_t IPV6_FRAGMENT_HEADER = 8;
constexpr uint16_t IPV6_FRAGMENT_OFFSET_MASK = 0xfff8;

bool is_vlan_tag(uint16_t type) {
  for (uint16_t tpid : VLAN_TPIDS)
    if (type == tpid) return true;
  return false;
}

// HANDSHAKE_AND_CLOSE's text.
std::string handshake_and_close(const PortSet& ports) {
  static constexpr char FLAGS_PART[] = "((tcp[tcpflags] & (tcp-syn|tcp-fin|tcp-rst)) != 0)";
  if (ports.every()) return std::string("(tcp)&&") + FLAGS_PART;
  static constexpr char PORT_FMT[] = "(tcp port %u)";
  static constexpr char RANGE_FMT[] = "(tcp portrange %u-%u)";
  char term[64];
  std::string text;
  const auto ranges = ports.ranges();
  for (const auto& [lo, hi] : ranges) {
    if (lo == hi)
      std::snprintf(term, sizeof term, PORT_FMT, static_cast<unsigned>(lo));
    else
      std::snprintf(term, sizeof term, RANGE_FMT, static_cast<unsigned>(lo),
                    static_cast<unsigned>(hi));
    if (!text.empty()) text += "||";
    text += term;
  }
  // One port is written as it always was: scripts read the -d trace of it.
  if (ranges.size() != 1 || ranges.front().first != ranges.front().second)
    text = "(" + text + ")";
  return text + "&&" + FLAGS_PART;
}

// Where a byte of an IPv6 packet lies, as filter text for libpcap's "ip6[...]":
// 8 times the sum of `words` (counts of 8-byte words read from the packet), plus
// `read_bytes` (a count of bytes read from the packet), plus `bytes`. Constants are
// summed here, not in the program: compiled without optimisation every constant
// and every operator costs instructions, and every place is computed anew at each
// load that uses it.
struct Ip6Place {
  std::string words;
  int word_count = 0;
  std::string read_bytes;
  int bytes = 0;

  // The byte `plus` bytes on, as a load of `size` bytes.
  std::string load(int plus, int size = 1) const {
    std::string index;
    if (word_count == 1) index += words + "*8+";
    if (word_count > 1) index += "(" + words + ")*8+";
    if (!read_bytes.empty()) index += read_bytes + "+";
    index += std::to_string(bytes + plus);
    return "ip6[" + index + (size == 1 ? "" : ":" + std::to_string(size)) + "]";
  }
  // `more_words` 8-byte words and `more_bytes` bytes on.
  Ip6Place after(const std::string& more_words, int more_bytes) const {
    Ip6Place p = *this;
    p.words += (p.words.empty() ? "" : "+") + more_words;
    ++p.word_count;
    p.bytes += more_bytes;
    return p;
  }
};

// A SYN, FIN or RST segment of a watched port, its TCP header at `tcp`: a port as
// the source (bytes 0-1) or the destination (2-3), the flags (byte 13) having SYN,
// FIN or RST (0x07) set. libpcap's "tcp[...]" reads IPv4 only, hence the explicit
// offsets. Several ports test each run of consecutive ports on both sides; every
// port tests none.
std::string ipv6_port_segment(const Ip6Place& tcp, const PortSet& ports) {
  const std::string flags = "(" + tcp.load(13) + " & 7) != 0";
  if (ports.every()) return flags;
  std::string sides;
  for (int side : {0, 2}) {
    const std::string port = tcp.load(side, 2);
    for (const auto& [lo, hi] : ports.ranges()) {
      if (!sides.empty()) sides += " || ";
      if (lo == hi)
        sides += port + " == " + std::to_string(lo);
      else
        sides += "(" + port + " >= " + std::to_string(lo) + " && " + port +
                 " <= " + std::to_string(hi) + ")";
    }
  }
  return "(" + sides + ") && " + flags;
}

// IPv6 TCP from header number `passed` of the extension header chain on: `header`
// is where that header starts (past the fixed header and `passed` option headers),
// `next` the next header value that names it, and `tcp` where the TCP header is when
// `next` is TCP (6) or a fragment header (44): 8 bytes further on in the second
// case. The header is then TCP itself, or a fragment header whose next header is 6
// and whose offset (bits 3 to 15 of bytes 2-3) is 0, the start of its datagram; or,
// while fewer than IPV6_MAX_OPTION_HEADERS lie behind, a Hop-by-Hop (0), Routing
// (43) or Destination Options (60) header: its next header in its first byte, its
// length in 8-byte words after the first 8 in its second, and the chain goes on
// behind it. The decoder reads the same chains (past_extension_headers).
std::string ipv6_chain(const Ip6Place& header, const std::string& next, const Ip6Place& tcp,
                       int passed, const PortSet& ports) {
  const std::string here = "((" + next + " == 6 || (" + next + " == 44 && (" + header.load(0, 4) +
                           " & 0xff00fff8) == 0x06000000)) && " + ipv6_port_segment(tcp, ports) +
                           ")";
  if (passed == IPV6_MAX_OPTION_HEADERS) return here;
  const std::string is_option = "(" + next + " == 0 || " + next + " == 43 || " + next + " == 60)";
  // Behind this header: the next header at its byte 0, its length at byte 1, and
  // the TCP header 8 bytes further on if the next header is a fragment header. The
  // two bytes read as one are next * 256 + length; bit 3 of the next header, bit 11
  // of the pair, is set in 44 and clear in 6. With only that bit and the length
  // kept, the pair modulo 2047 (2048 being 1 there) is the length, plus 1 behind a
  // fragment header: the TCP header's place from one load instead of two. (libpcap's
  // "%" binds less tightly than "+": the term stands in its own parentheses.)
  const Ip6Place behind = header.after(header.load(1), 8);
  const Ip6Place tcp_behind = header.after("((" + header.load(0, 2) + " & 0x8ff) % 2047)", 8);
  return "(" + here + "||(" + is_option + " && " +
         ipv6_chain(behind, header.load(0), tcp_behind, passed + 1, ports) + "))";
}

// IPv6 to or from the port, SYN, FIN or RST, behind the extension headers the
// decoder reads. After the fixed header the TCP header is 8 bytes further on when
// the next header (byte 6) is a fragment header (44, bit 3 set) than when it is TCP
// (6, bit 3 clear).
std::string ipv6_filter(const PortSet& ports) {
  Ip6Place fixed_end;
  fixed_end.bytes = 40;
  Ip6Place tcp = fixed_end;
  tcp.read_bytes = "(ip6[6] & 8)";
  return "(" + ipv6_chain(fixed_end, "ip6[6]", tcp, 0, ports) + ")";
}

}  // namespace

std::string filter_text(FilterExpression expression, const PortSet& ports, int link_type,
                        const std::string& narrowing) {
  switch (expression) {
    case FilterExpression::HANDSHAKE_AND_CLOSE:
      return handshake_and_close(ports) + narrowing;
    case FilterExpression::EVERY_FRAMING: {
      const std::string packet =
          "((" + handshake_and_close(ports) + ")||" + ipv6_filter(ports) + ")" + narrowing;
      if (link_type != DLT_EN10MB) return packet;
      // libpcap's "vlan" moves every later offset of the expression 4 bytes on, so
      // the untagged test comes first and the doubly tagged one inside the singly
      // tagged.
      return "(" + packet + ")||(vlan&&((" + packet + ")||(vlan&&(" + packet + "))))";
    }
  }
  return std::string();
}

std::optional<PortFilter> PortFilter::make(FilterExpression expression, const PortSet& ports,
                                           const FilterSource& source) {
  PortFilter filter;
  filter.ports_ = ports;
  filter.every_framing_ = expression == FilterExpression::EVERY_FRAMING;
  switch (source.link_type) {
    case DLT_EN10MB:
      filter.framing_ = Framing::ETHERNET;
      return filter;
    case DLT_NULL: {
      filter.framing_ = Framing::NULL_FAMILY;
      // libpcap compares the family with AF_INET (and the BSDs' AF_INET6 values) as
      // the capturing host stored it: in a savefile of the other byte order the four
      // bytes come reversed.
      const auto as_stored = [&](uint32_t family) {
        return source.swapped ? __builtin_bswap32(family) : family;
      };
      filter.inet_family_ = as_stored(AF_INET);
      for (size_t i = 0; i < 3; ++i) filter.inet6_families_[i] = as_stored(INET6_FAMILIES[i]);
      return filter;
    }
    default:
      break;
  }
  if (!filter.every_framing_) return std::nullopt;
  switch (source.link_type) {
    case DLT_LINUX_SLL:
      filter.framing_ = Framing::SLL;
      return filter;
    case DLT_LINUX_SLL2:
      filter.framing_ = Framing::SLL2;
      return filter;
    case DLT_RAW:
      filter.framing_ = Framing::RAW;
      return filter;
    case DLT_IPV4:
      filter.framing_ = Framing::IPV4;
      return filter;
    case DLT_IPV6:
      filter.framing_ = Framing::IPV6;
      return filter;
    default:
      return std::nullopt;
  }
}

bool PortFilter::ipv4_at(const PacketReader& frame, size_t ip) const {
  HeaderView<IPV4_FIXED_READ> head;
  if (!frame.header(ip, &head) || head.u8<9>() != PROTO_TCP) return false;
  if ((head.be16<6>() & FRAGMENT_OFFSET_MASK) != 0) return false;
  return tcp_at(frame, ip + 4 * static_cast<size_t>(head.u8<0>() & 0x0f));
}

bool PortFilter::ipv6_at(const PacketReader& frame, size_t ip) const {
  uint8_t next;
  if (!frame.u8(ip + IPV6_NEXT_HEADER, &next)) return false;
  size_t at = ip + IPV6_HEADER;
  for (int passed = 0; next == PROTO_HOP_BY_HOP || next == PROTO_ROUTING ||
                       next == PROTO_DESTINATION_OPTIONS;
       ++passed) {
    if (passed == IPV6_MAX_OPTION_HEADERS) return false;
    HeaderView<2> option;  // next header, length in 8-byte words after the first 8
    if (!frame.header(at, &option)) return false;
    next = option.u8<0>();
    at += (static_cast<size_t>(option.u8<1>()) + 1) * 8;
  }
  if (next == PROTO_FRAGMENT) {
    // The first fragment of a TCP datagram: next header 6, offset 0.
    HeaderView<4> fragment;
    if (!frame.header(at, &fragment)) return false;
    if (fragment.u8<0>() != PROTO_TCP || (fragment.be16<2>() & IPV6_FRAGMENT_OFFSET_MASK) != 0)
      return false;
    at += IPV6_FRAGMENT_HEADER;
  } else if (next != PROTO_TCP) {
    return false;
  }
  return tcp_at(frame, at);
}

bool PortFilter::wider_matches(const PacketReader& frame) const {
  switch (framing_) {
    case Framing::ETHERNET: {
      HeaderView<ETHERNET_HEADER> eth;
      if (!frame.header(0, &eth)) return false;
      uint16_t type = eth.be16<12>();
      size_t at = ETHERNET_HEADER;
      for (int tags = 0; is_vlan_tag(type); ++tags) {
        if (tags == MAX_VLAN_TAGS) return false;
        HeaderView<VLAN_TAG> tag;  // the tag control information, then the next type
        if (!frame.header(at, &tag)) return false;
        type = tag.be16<2>();
        at += VLAN_TAG;
      }
      return by_type(frame, type, at);
    }
    case Framing::NULL_FAMILY: {
      HeaderView<NULL_HEADER> null;
      if (!frame.header(0, &null)) return false;
      const uint32_t family = null.raw32<0>();
      if (family == inet_family_) return ipv4_at(frame, NULL_HEADER);
      for (uint32_t inet6 : inet6_families_)
        if (family == inet6) return ipv6_at(frame, NULL_HEADER);
      return false;
    }
    case Framing::SLL: {
      HeaderView<SLL_HEADER> sll;
      return frame.header(0, &sll) && by_type(frame, sll.be16<14>(), SLL_HEADER);
    }
    case Framing::SLL2: {
      HeaderView<SLL2_HEADER> sll2;
      return frame.header(0, &sll2) && by_type(frame, sll2.be16<0>(), SLL2_HEADER);
    }
    case Framing::RAW: {
      uint8_t first;
      if (!frame.u8(0, &first)) return false;
      if ((first & 0xf0) == 0x40) return ipv4_at(frame, 0);
      if ((first & 0xf0) == 0x60) return ipv6_at(frame, 0);
      return false;
    }
    case Framing::IPV4:
      return ipv4_at(frame, 0);
    case Framing::IPV6:
      return ipv6_at(frame, 0);
  }
  return false;
}
