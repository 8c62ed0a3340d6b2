// Frame decoding: framing, header lengths, truncation, the fields of the segment
// and the handler its flags choose. The decoder is pure, so each case is one call.
#include "track/decode.h"

#include <gtest/gtest.h>
#include <pcap/dlt.h>

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "testlib/capture_builder.h"

using namespace testlib;

namespace {

constexpr LinkInfo ETHERNET{DLT_EN10MB, false};
constexpr LinkInfo LOOPBACK{DLT_NULL, false};

// Decodes a copy of the frame in a buffer of exactly its length, so that
// AddressSanitizer catches any read past it.
DecodeStatus decode(const std::vector<uint8_t>& frame, const LinkInfo& link, DecodedFrame* d) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[frame.empty() ? 1 : frame.size()]);
  if (!frame.empty()) std::memcpy(exact.get(), frame.data(), frame.size());
  return decode_frame(PacketReader{exact.get(), frame.size()}, link, d);
}

DecodeStatus decode(const std::vector<uint8_t>& frame, const LinkInfo& link = ETHERNET) {
  DecodedFrame d;
  return decode(frame, link, &d);
}

TEST(Decode, SegmentFields) {
  DecodedFrame d;
  Seg s = synack(9000, 1001);
  s.tcp_opts = 12;
  ASSERT_EQ(decode(tcp_frame(Link::ETHERNET, s), ETHERNET, &d), DecodeStatus::SEGMENT);
  EXPECT_EQ(d.kind, SegmentKind::SYNACK);
  EXPECT_EQ(d.seg.src, (Endpoint{IpAddr{ip("10.0.0.2")}, 80}));
  EXPECT_EQ(d.seg.dst, (Endpoint{IpAddr{ip("10.0.0.1")}, 5555}));
  EXPECT_EQ(d.seg.seq, 9000u);
  EXPECT_EQ(d.seg.ack, 1001u);
  EXPECT_EQ(d.seg.flags, SYN | ACK);
  EXPECT_EQ(d.protocol, 6);
  EXPECT_EQ(d.ip_header_length, 20);
  EXPECT_EQ(d.ip_total_length, 52);
  EXPECT_EQ(d.tcp_header_length, 32);
  EXPECT_EQ(d.tcp_length, 32);
}

TEST(Decode, FramesThatAreNotTcpOverIpv4) {
  const struct {
    const char* name;
    std::vector<uint8_t> frame;
    DecodeStatus status;
  } cases[] = {
      {"Arp", arp_frame(), DecodeStatus::NOT_IP},
      {"Ipv6", ipv6_frame(), DecodeStatus::NOT_IP},
      {"Vlan", vlan_frame(syn(1000)), DecodeStatus::NOT_IP},
      {"Udp", udp_frame(Link::ETHERNET, "10.0.0.1", "10.0.0.2", 5555, 80), DecodeStatus::NOT_TCP},
      {"Tcp", tcp_frame(Link::ETHERNET, syn(1000)), DecodeStatus::SEGMENT},
  };
  for (const auto& c : cases) EXPECT_EQ(decode(c.frame), c.status) << c.name;
  EXPECT_EQ(decode(tcp_frame(Link::ETHERNET, syn(1000)), LinkInfo{DLT_LINUX_SLL, false}),
            DecodeStatus::NOT_IP);
}

TEST(Decode, LoopbackFamilyIsInTheCapturingHostsOrder) {
  const uint32_t inet = 2, inet_other_order = __builtin_bswap32(2), inet6 = 24;
  const uint32_t inet6_other_order = __builtin_bswap32(24);
  const struct {
    bool swapped;  // the savefile came from a host of the other byte order
    uint32_t family;
    DecodeStatus status;
    bool decode_all = false;  // then the frame is an IPv6 one when the family says so
  } cases[] = {
      {false, inet, DecodeStatus::SEGMENT},
      {false, inet_other_order, DecodeStatus::NOT_IP},
      {true, inet_other_order, DecodeStatus::SEGMENT},
      {true, inet, DecodeStatus::NOT_IP},
      {false, inet6, DecodeStatus::NOT_IP},
      {false, inet6, DecodeStatus::SEGMENT, true},
      {true, inet6_other_order, DecodeStatus::SEGMENT, true},
      {false, inet6_other_order, DecodeStatus::NOT_IP, true},
      {true, inet_other_order, DecodeStatus::SEGMENT, true},
  };
  for (const auto& c : cases) {
    const bool v6 = c.family == inet6 || c.family == inet6_other_order;
    std::vector<uint8_t> frame =
        tcp_frame(Link::LOOPBACK, c.decode_all && v6 ? as_ipv6(syn(1000)) : syn(1000));
    std::memcpy(frame.data(), &c.family, 4);
    EXPECT_EQ(decode(frame, LinkInfo{DLT_NULL, c.swapped, c.decode_all}), c.status)
        << c.swapped << " " << c.family << " " << c.decode_all;
  }
}

TEST(Decode, FlagsChooseTheHandlerFirstMatchWins) {
  const struct {
    uint8_t flags;
    DecodeStatus status;
    SegmentKind kind;
  } cases[] = {
      {RST | SYN | ACK, DecodeStatus::SEGMENT, SegmentKind::RESET},
      {RST | FIN, DecodeStatus::SEGMENT, SegmentKind::RESET},
      {SYN | ACK | FIN, DecodeStatus::SEGMENT, SegmentKind::SYNACK},
      {SYN | FIN, DecodeStatus::SEGMENT, SegmentKind::SYN},
      {FIN | ACK | PSH, DecodeStatus::SEGMENT, SegmentKind::FIN},
      {ACK | PSH, DecodeStatus::NO_HANDLER, SegmentKind::RESET},
      {0, DecodeStatus::NO_HANDLER, SegmentKind::RESET},
  };
  for (const auto& c : cases) {
    Seg s = syn(1000);
    s.flags = c.flags;
    DecodedFrame d;
    ASSERT_EQ(decode(tcp_frame(Link::ETHERNET, s), ETHERNET, &d), c.status) << int{c.flags};
    if (c.status == DecodeStatus::SEGMENT) {
      EXPECT_EQ(d.kind, c.kind) << int{c.flags};
    }
  }
}

TEST(Decode, FinPayloadComesFromTheTotalLength) {
  // 100 bytes of payload behind a 32-byte TCP header in a 152-byte datagram.
  Seg fin = client_fin(1401, 12001, 100);
  fin.tcp_opts = 12;
  DecodedFrame d;
  ASSERT_EQ(decode(tcp_frame(Link::ETHERNET, fin), ETHERNET, &d), DecodeStatus::SEGMENT);
  EXPECT_EQ(d.ip_total_length, 152);
  EXPECT_EQ(d.payload, 100u);
  // Only the total length counts, not what was captured: a header-only capture of
  // the same frame hands on the same payload.
  std::vector<uint8_t> cut = tcp_frame(Link::ETHERNET, fin);
  cut.resize(14 + 20 + 14);
  ASSERT_EQ(decode(cut, ETHERNET, &d), DecodeStatus::SEGMENT);
  EXPECT_EQ(d.payload, 100u);
  // A total length shorter than the headers leaves the payload unknown.
  for (int total : {0, 20, 51}) {
    fin.ip_total_len = total;
    EXPECT_EQ(decode(tcp_frame(Link::ETHERNET, fin)), DecodeStatus::BAD_FIN_LENGTH) << total;
  }
  // Other segments do not use the total length.
  Seg s = syn(1000);
  s.ip_total_len = 0;
  EXPECT_EQ(decode(tcp_frame(Link::ETHERNET, s)), DecodeStatus::SEGMENT);
}

TEST(Decode, EveryTruncationOfASynIsReadOnlyWithinItsCapturedBytes) {
  for (Link link : {Link::ETHERNET, Link::LOOPBACK}) {
    Seg s = syn(1000);
    s.tcp_opts = 12;
    const std::vector<uint8_t> full = tcp_frame(link, s);
    const size_t ip = link == Link::ETHERNET ? 14 : 4;
    for (size_t len = 0; len <= full.size(); ++len) {
      // The link header, the fixed IPv4 header and TCP bytes 0 to 13: the options
      // are never read, so a frame cut inside them is still a SYN.
      const DecodeStatus expected = len < ip             ? DecodeStatus::SHORT_LINK
                                    : len < ip + 20      ? DecodeStatus::SHORT_IP
                                    : len < ip + 20 + 14 ? DecodeStatus::SHORT_TCP
                                                         : DecodeStatus::SEGMENT;
      EXPECT_EQ(decode(std::vector<uint8_t>(full.begin(), full.begin() + len),
                       link == Link::ETHERNET ? ETHERNET : LOOPBACK),
                expected)
          << "captured " << len;
    }
  }
}

TEST(Decode, HeaderLengthFieldsAtTheirExtremes) {
  // Both length fields from 0 to 60 bytes in a frame of 20 + 20 bytes: below the
  // fixed header the packet is malformed; a longer IPv4 header moves the TCP
  // header out of the frame from 28 bytes on, a longer TCP header only claims
  // options that were not captured.
  for (int ip_hl = 0; ip_hl <= 60; ip_hl += 4) {
    for (int tcp_off = 0; tcp_off <= 60; tcp_off += 4) {
      Seg s = syn(1000);
      s.ip_hl_bytes = ip_hl;
      s.tcp_off_bytes = tcp_off;
      DecodeStatus expected;
      if (ip_hl < 20)
        expected = DecodeStatus::BAD_IP_HEADER_LENGTH;
      else if (ip_hl > 24)
        expected = DecodeStatus::SHORT_TCP;
      else if (ip_hl == 24)
        expected = DecodeStatus::BAD_TCP_HEADER_LENGTH;  // read 4 bytes late: a data offset of 0
      else if (tcp_off < 20)
        expected = DecodeStatus::BAD_TCP_HEADER_LENGTH;
      else
        expected = DecodeStatus::SEGMENT;
      EXPECT_EQ(decode(tcp_frame(Link::ETHERNET, s)), expected) << ip_hl << "/" << tcp_off;
    }
  }
}

// --decode-all: the framings it adds, and what each one hands on.
constexpr LinkInfo decode_all(int dlt) { return LinkInfo{dlt, false, true}; }

std::vector<uint8_t> null_frame(uint32_t family, const Seg& s) {
  std::vector<uint8_t> f = tcp_frame(Link::LOOPBACK, s);
  std::memcpy(f.data(), &family, 4);
  return f;
}

std::vector<uint8_t> tagged(std::vector<uint16_t> tags, const Seg& s) {
  Seg t = s;
  t.vlan_tags = std::move(tags);
  return tcp_frame(Link::ETHERNET, t);
}

// The frame with two bytes replaced: another type or version where the IP one was.
std::vector<uint8_t> with_bytes_at(std::vector<uint8_t> frame, size_t at, uint8_t a, uint8_t b) {
  frame[at] = a;
  frame[at + 1] = b;
  return frame;
}

TEST(DecodeAll, FramingsAndTheFamilyTheyCarry) {
  const Seg v4 = syn(1000), v6 = as_ipv6(syn(1000));
  const std::vector<uint8_t> tagged_arp = with_bytes_at(tagged({0x8100}, v4), 16, 0x08, 0x06);
  const std::vector<uint8_t> sll_arp = with_bytes_at(tcp_frame(Link::COOKED, v4), 14, 0x08, 0x06);
  const std::vector<uint8_t> raw_v5 = with_bytes_at(tcp_frame(Link::RAW, v4), 0, 0x55, 0x00);
  const struct {
    const char* name;
    int dlt;
    std::vector<uint8_t> frame;
    DecodeStatus status;
    Family family;
  } cases[] = {
      // clang-format off
      {"EthernetIpv6", DLT_EN10MB, tcp_frame(Link::ETHERNET, v6), DecodeStatus::SEGMENT, Family::IPV6},
      {"Dot1qIpv4", DLT_EN10MB, tagged({0x8100}, v4), DecodeStatus::SEGMENT, Family::IPV4},
      {"Dot1qIpv6", DLT_EN10MB, tagged({0x8100}, v6), DecodeStatus::SEGMENT, Family::IPV6},
      {"QinQIpv6", DLT_EN10MB, tagged({0x88a8, 0x8100}, v6), DecodeStatus::SEGMENT, Family::IPV6},
      {"OldQinQIpv4", DLT_EN10MB, tagged({0x9100, 0x9100}, v4), DecodeStatus::SEGMENT, Family::IPV4},
      {"ThreeTags", DLT_EN10MB, tagged({0x88a8, 0x8100, 0x8100}, v4), DecodeStatus::NOT_IP, Family::IPV4},
      {"TaggedArp", DLT_EN10MB, tagged_arp, DecodeStatus::NOT_IP, Family::IPV4},
      {"CookedIpv4", DLT_LINUX_SLL, tcp_frame(Link::COOKED, v4), DecodeStatus::SEGMENT, Family::IPV4},
      {"CookedIpv6", DLT_LINUX_SLL, tcp_frame(Link::COOKED, v6), DecodeStatus::SEGMENT, Family::IPV6},
      {"CookedArp", DLT_LINUX_SLL, sll_arp, DecodeStatus::NOT_IP, Family::IPV4},
      {"Cooked2Ipv4", DLT_LINUX_SLL2, tcp_frame(Link::COOKED2, v4), DecodeStatus::SEGMENT, Family::IPV4},
      {"Cooked2Ipv6", DLT_LINUX_SLL2, tcp_frame(Link::COOKED2, v6), DecodeStatus::SEGMENT, Family::IPV6},
      {"RawIpv4", DLT_RAW, tcp_frame(Link::RAW, v4), DecodeStatus::SEGMENT, Family::IPV4},
      {"RawIpv6", DLT_RAW, tcp_frame(Link::RAW, v6), DecodeStatus::SEGMENT, Family::IPV6},
      {"RawVersion5", DLT_RAW, raw_v5, DecodeStatus::NOT_IP, Family::IPV4},
      {"Ipv4Link", DLT_IPV4, tcp_frame(Link::RAW, v4), DecodeStatus::SEGMENT, Family::IPV4},
      {"Ipv6Link", DLT_IPV6, tcp_frame(Link::RAW, v6), DecodeStatus::SEGMENT, Family::IPV6},
      {"LoopbackIpv4", DLT_NULL, null_frame(2, v4), DecodeStatus::SEGMENT, Family::IPV4},
      {"LoopbackBsdIpv6", DLT_NULL, null_frame(24, v6), DecodeStatus::SEGMENT, Family::IPV6},
      {"LoopbackFreeBsdIpv6", DLT_NULL, null_frame(28, v6), DecodeStatus::SEGMENT, Family::IPV6},
      {"LoopbackMacIpv6", DLT_NULL, null_frame(30, v6), DecodeStatus::SEGMENT, Family::IPV6},
      // Only the values libpcap's "ip6" takes in a capture file, in the capturing
      // host's order (see LoopbackFamilyIsInTheCapturingHostsOrder).
      {"LoopbackMacIpv6OtherOrder", DLT_NULL, null_frame(__builtin_bswap32(30), v6), DecodeStatus::NOT_IP, Family::IPV4},
      {"LoopbackWindowsIpv6", DLT_NULL, null_frame(23, v6), DecodeStatus::NOT_IP, Family::IPV4},
      {"LoopbackLinuxIpv6", DLT_NULL, null_frame(10, v6), DecodeStatus::NOT_IP, Family::IPV4},
      {"LoopbackOtherFamily", DLT_NULL, null_frame(7, v6), DecodeStatus::NOT_IP, Family::IPV4},
      {"OtherLink", DLT_PPP, tcp_frame(Link::RAW, v4), DecodeStatus::NOT_IP, Family::IPV4},
      // clang-format on
  };
  for (const auto& c : cases) {
    DecodedFrame d;
    ASSERT_EQ(decode(c.frame, decode_all(c.dlt), &d), c.status) << c.name;
    if (c.status == DecodeStatus::SEGMENT) {
      EXPECT_EQ(d.seg.src.family, c.family) << c.name;
      EXPECT_EQ(d.seg.dst.family, c.family) << c.name;
      EXPECT_EQ(d.seg.src.port, 5555) << c.name;
      EXPECT_EQ(d.kind, SegmentKind::SYN) << c.name;
    }
    // Without --decode-all only untagged IPv4 on Ethernet and loopback is read.
    const bool classic = c.family == Family::IPV4 && c.status == DecodeStatus::SEGMENT &&
                         (c.dlt == DLT_NULL || (c.dlt == DLT_EN10MB && c.frame[12] == 0x08));
    EXPECT_EQ(decode(c.frame, LinkInfo{c.dlt, false, false}) == DecodeStatus::SEGMENT, classic)
        << c.name;
    EXPECT_EQ(link_supported(c.dlt, false), c.dlt == DLT_EN10MB || c.dlt == DLT_NULL) << c.name;
    EXPECT_EQ(link_supported(c.dlt, true), c.dlt != DLT_PPP) << c.name;
  }
}

TEST(DecodeAll, Ipv6SegmentFields) {
  Seg fin = as_ipv6(client_fin(1401, 12001, 100));
  fin.src = "2001:db8::a:1";
  fin.tcp_opts = 12;
  DecodedFrame d;
  ASSERT_EQ(decode(tcp_frame(Link::ETHERNET, fin), decode_all(DLT_EN10MB), &d),
            DecodeStatus::SEGMENT);
  EXPECT_EQ(d.kind, SegmentKind::FIN);
  const std::array<uint8_t, 16> src = ip6("2001:db8::a:1"), dst = ip6("2001:db8::2");
  EXPECT_EQ(std::memcmp(d.src6.bytes, src.data(), 16), 0);
  EXPECT_EQ(std::memcmp(d.dst6.bytes, dst.data(), 16), 0);
  // Numbered later, by the pool: the decoder changes no state.
  EXPECT_EQ(d.seg.src, (Endpoint{IpAddr{}, 5555, Family::IPV6}));
  EXPECT_EQ(d.seg.dst, (Endpoint{IpAddr{}, 80, Family::IPV6}));
  EXPECT_EQ(d.seg.seq, 1401u);
  EXPECT_EQ(d.seg.ack, 12001u);
  EXPECT_EQ(d.protocol, 6);
  EXPECT_EQ(d.ip_header_length, 40);
  EXPECT_EQ(d.ip_total_length, 40 + 32 + 100);
  EXPECT_EQ(d.tcp_header_length, 32);
  EXPECT_EQ(d.tcp_length, 132);
  EXPECT_EQ(d.payload, 100u);  // from the payload length, not the captured bytes
  // A payload length shorter than the TCP header leaves the FIN's payload unknown.
  fin.ip_total_len = 40 + 20;
  EXPECT_EQ(decode(tcp_frame(Link::ETHERNET, fin), decode_all(DLT_EN10MB)),
            DecodeStatus::BAD_FIN_LENGTH);
}

Seg ipv6_behind(std::vector<Ip6Header> headers, uint8_t proto = 6) {
  Seg s = as_ipv6(client_fin(1401, 12001, 100));
  s.ip6_headers = std::move(headers);
  s.proto = proto;
  return s;
}

// The extension header chains TCP is read behind, and where reading stops: the
// protocol shown is the next header there, the header length takes in the headers
// read, and a FIN's payload is what the payload length leaves after all of them.
TEST(DecodeAll, Ipv6ExtensionHeaderChains) {
  const Ip6Header hop = option_header(0), routing = option_header(43, 3),
                  destination = option_header(60, 1), first = fragment_header(0),
                  atomic = fragment_header(0, false, 0xff);
  const struct {
    const char* name;
    Seg seg;
    DecodeStatus status;
    uint8_t protocol;
    int header_length;
  } cases[] = {
      {"HopByHop", ipv6_behind({hop}), DecodeStatus::SEGMENT, 6, 48},
      {"Routing", ipv6_behind({routing}), DecodeStatus::SEGMENT, 6, 72},
      {"HopByHopDestination", ipv6_behind({hop, destination}), DecodeStatus::SEGMENT, 6, 64},
      {"DestinationRoutingAnyOrder", ipv6_behind({destination, routing}), DecodeStatus::SEGMENT, 6,
       88},
      {"LongestLengths", ipv6_behind({option_header(0, 255), option_header(60, 255)}),
       DecodeStatus::SEGMENT, 6, 40 + 2 * 2048},
      {"FirstFragment", ipv6_behind({first}), DecodeStatus::SEGMENT, 6, 48},
      {"AtomicFragmentReservedBitsSet", ipv6_behind({atomic}), DecodeStatus::SEGMENT, 6, 48},
      {"TwoThenFirstFragment", ipv6_behind({hop, routing, first}), DecodeStatus::SEGMENT, 6, 88},
      {"ThreeOptionHeaders", ipv6_behind({hop, routing, destination}), DecodeStatus::NOT_TCP, 60,
       80},
      {"LaterFragment", ipv6_behind({fragment_header(1)}), DecodeStatus::NOT_TCP, 44, 40},
      {"LastFragmentAnyOffset", ipv6_behind({hop, fragment_header(0x1fff, false)}),
       DecodeStatus::NOT_TCP, 44, 48},
      {"FragmentThenOption", ipv6_behind({first, destination}), DecodeStatus::NOT_TCP, 60, 48},
      {"TwoFragments", ipv6_behind({first, first}), DecodeStatus::NOT_TCP, 44, 48},
      {"Authentication", ipv6_behind({Ip6Header{51, std::vector<uint8_t>(16)}}),
       DecodeStatus::NOT_TCP, 51, 40},
      {"OptionThenUdp", ipv6_behind({hop}, 17), DecodeStatus::NOT_TCP, 17, 48},
  };
  for (const auto& c : cases) {
    DecodedFrame d;
    for (Link link : {Link::ETHERNET, Link::RAW}) {
      ASSERT_EQ(decode(tcp_frame(link, c.seg), decode_all(dlt_of(link)), &d), c.status) << c.name;
      EXPECT_EQ(d.protocol, c.protocol) << c.name;
      EXPECT_EQ(d.ip_header_length, c.header_length) << c.name;
      if (c.status != DecodeStatus::SEGMENT) continue;
      EXPECT_EQ(d.ip_total_length, static_cast<int>(tcp_frame(Link::RAW, c.seg).size())) << c.name;
      EXPECT_EQ(d.kind, SegmentKind::FIN) << c.name;
      EXPECT_EQ(d.payload, 100u) << c.name;
      EXPECT_EQ(d.seg.seq, 1401u) << c.name;
      EXPECT_EQ(d.seg.src.port, 5555) << c.name;
    }
  }
  // A payload length that does not cover the extension headers and the TCP header
  // leaves the FIN's payload unknown.
  Seg short_fin = ipv6_behind({hop, destination});
  short_fin.ip_total_len = 64 + 19;
  EXPECT_EQ(decode(tcp_frame(Link::ETHERNET, short_fin), decode_all(DLT_EN10MB)),
            DecodeStatus::BAD_FIN_LENGTH);
}

TEST(DecodeAll, EveryTruncationIsReadOnlyWithinItsCapturedBytes) {
  const struct {
    const char* name;
    int dlt;
    std::vector<uint8_t> frame;
    size_t link;  // link header and tags
    size_t ip;    // the IP bytes read: the fixed header, and in IPv6 extension headers
    size_t tcp;   // where TCP starts after the link header
  } cases[] = {
      {"QinQIpv6", DLT_EN10MB, tagged({0x88a8, 0x8100}, as_ipv6(syn(1))), 22, 40, 40},
      {"Dot1qIpv4", DLT_EN10MB, tagged({0x8100}, syn(1)), 18, 20, 20},
      {"CookedIpv6", DLT_LINUX_SLL, tcp_frame(Link::COOKED, as_ipv6(syn(1))), 16, 40, 40},
      {"Cooked2Ipv4", DLT_LINUX_SLL2, tcp_frame(Link::COOKED2, syn(1)), 20, 20, 20},
      {"RawIpv6", DLT_RAW, tcp_frame(Link::RAW, as_ipv6(syn(1))), 0, 40, 40},
      {"Ipv6Link", DLT_IPV6, tcp_frame(Link::RAW, as_ipv6(syn(1))), 0, 40, 40},
      {"LoopbackIpv6", DLT_NULL, null_frame(30, as_ipv6(syn(1))), 4, 40, 40},
      // The second option header read at 48 to 49, the fragment header at 56 to 59.
      {"Dot1qIpv6TwoHeadersAndFragment", DLT_EN10MB,
       tagged({0x8100}, ipv6_behind({option_header(0), option_header(60), fragment_header()})), 18,
       60, 64},
      {"RawIpv6Routing", DLT_RAW, tcp_frame(Link::RAW, ipv6_behind({option_header(43, 2)})), 0, 42,
       64},
  };
  for (const auto& c : cases) {
    for (size_t len = 0; len <= c.frame.size(); ++len) {
      // Within the first tag the frame is still too short for its link header.
      const DecodeStatus expected = len < c.link                ? DecodeStatus::SHORT_LINK
                                    : len < c.link + c.ip       ? DecodeStatus::SHORT_IP
                                    : len < c.link + c.tcp + 14 ? DecodeStatus::SHORT_TCP
                                                                : DecodeStatus::SEGMENT;
      EXPECT_EQ(
          decode(std::vector<uint8_t>(c.frame.begin(), c.frame.begin() + len), decode_all(c.dlt)),
          expected)
          << c.name << " captured " << len;
    }
  }
}

}  // namespace
