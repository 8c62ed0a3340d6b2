// Frame decoding: framing, header lengths, truncation, the fields of the segment
// and the handler its flags choose. The decoder is pure, so each case is one call.
#include "track/decode.h"

#include <gtest/gtest.h>
#include <pcap/dlt.h>

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
  const struct {
    bool swapped;  // the savefile came from a host of the other byte order
    uint32_t family;
    DecodeStatus status;
  } cases[] = {
      {false, inet, DecodeStatus::SEGMENT},
      {false, inet_other_order, DecodeStatus::NOT_IP},
      {true, inet_other_order, DecodeStatus::SEGMENT},
      {true, inet, DecodeStatus::NOT_IP},
      {false, inet6, DecodeStatus::NOT_IP},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> frame = tcp_frame(Link::LOOPBACK, syn(1000));
    std::memcpy(frame.data(), &c.family, 4);
    EXPECT_EQ(decode(frame, LinkInfo{DLT_NULL, c.swapped}), c.status)
        << c.swapped << " " << c.family;
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

}  // namespace
