// Packet decoding: framing, header lengths, truncation, the time window and the
// dispatch on the TCP flags, fed straight to the packet handler.
#include "track/decode.h"

#include "testlib/runner.h"
#include "unit/fixture.h"

using namespace testlib;

namespace {

using Decode = TrackerTest;

TEST_F(Decode, FramesThatAreNotTcpOverIpv4AreDropped) {
  struct Case {
    const char* name;
    std::vector<uint8_t> frame;
    const char* trace;
  } cases[] = {
      {"Arp", arp_frame(), "Not IP packet\n\n"},
      {"Ipv6", ipv6_frame(), "Not IP packet\n\n"},
      {"Vlan", vlan_frame(syn(1000)), "Not IP packet\n\n"},
      {"Udp", udp_frame(Link::ETHERNET, "10.0.0.1", "10.0.0.2", 5555, 80), "Not TCP packet\n"},
  };
  for (const Case& c : cases) {
    SetUp();
    g_settings.debug = 2;
    testing::internal::CaptureStdout();
    feed(at(100, 0, c.frame));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(std::string(":") + c.trace), std::string::npos) << c.name << ": " << out;
    EXPECT_EQ(conn_count(), 0u) << c.name;
    EXPECT_EQ(g_capture.packet_count, 1u) << c.name;
  }
}

TEST_F(Decode, LoopbackFramingNeedsFamilyInet) {
  g_capture.link_type = 0;
  feed(at(100, 0, syn(1000), Link::LOOPBACK));
  EXPECT_NE(client(), nullptr);
  std::vector<uint8_t> other = tcp_frame(Link::LOOPBACK, syn(1000));
  uint32_t family = 24;  // an IPv6 family value
  std::memcpy(other.data(), &family, 4);
  Seg s = syn(1);
  s.sport = 6000;
  feed(at(100, 1, other));
  EXPECT_EQ(conn_count(), 1u);
}

TEST_F(Decode, LoopbackFamilyIsInTheCapturingHostsOrder) {
  const uint32_t inet = 2, inet_other_order = __builtin_bswap32(2);
  const struct {
    bool swapped;  // the savefile came from a host of the other byte order
    uint32_t family;
    bool decoded;
  } cases[] = {
      {false, inet, true},
      {false, inet_other_order, false},
      {true, inet_other_order, true},
      {true, inet, false},
  };
  for (const auto& c : cases) {
    SetUp();
    g_capture.link_type = 0;
    g_capture.swapped = c.swapped;
    std::vector<uint8_t> frame = tcp_frame(Link::LOOPBACK, syn(1000));
    std::memcpy(frame.data(), &c.family, 4);
    feed(at(100, 0, frame));
    EXPECT_EQ(conn_count(), c.decoded ? 1u : 0u) << c.swapped << " " << c.family;
  }
}

TEST_F(Decode, FlagPrecedence) {
  Seg syn_fin = syn(1000);
  syn_fin.flags = SYN | FIN;
  feed(100, 0, syn_fin);  // a SYN, whatever else it carries
  ASSERT_NE(client(), nullptr);
  EXPECT_EQ(client()->state, SYN_SEEN);

  Seg rst_syn = syn(2000);
  rst_syn.flags = RST | SYN | ACK;
  rst_syn.sport = 6000;
  feed(100, 1, rst_syn);  // an RST first: no record is created
  EXPECT_EQ(client("10.0.0.1", 6000), nullptr);

  Seg plain_ack = syn(1000);
  plain_ack.flags = ACK | PSH;
  feed(100, 2, plain_ack);
  EXPECT_EQ(client()->nsyns, 1u);
}

TEST_F(Decode, EveryTruncationOfASynIsReadOnlyWithinItsCapturedBytes) {
  for (Link link : {Link::ETHERNET, Link::LOOPBACK}) {
    Seg s = syn(1000);
    s.tcp_opts = 12;
    const std::vector<uint8_t> full = tcp_frame(link, s);
    // The link header, the fixed IPv4 header and TCP bytes 0 to 13: the options
    // are never read, so a frame cut inside them is still a SYN.
    const size_t headers = (link == Link::ETHERNET ? 14 : 4) + 20 + 14;
    for (size_t len = 0; len <= full.size(); ++len) {
      SetUp();
      g_capture.link_type = link == Link::ETHERNET ? 1 : 0;
      g_settings.debug = 2;  // every trace reads what it shows: run them too
      testing::internal::CaptureStdout();
      feed(at(100, 0, std::vector<uint8_t>(full.begin(), full.begin() + len)));
      testing::internal::GetCapturedStdout();
      EXPECT_EQ(conn_count(), len >= headers ? 1u : 0u) << "captured " << len;
      EXPECT_EQ(g_capture.packet_count, 1u);
    }
  }
}

TEST_F(Decode, HeaderLengthFieldsAtTheirExtremes) {
  // Both length fields from 0 to 60 bytes: below the fixed header the packet is
  // dropped; above it, the TCP bytes read (0 to 13) must lie within the captured
  // bytes, the TCP options need not.
  for (int ip_hl = 0; ip_hl <= 60; ip_hl += 4) {
    for (int tcp_off = 0; tcp_off <= 60; tcp_off += 4) {
      SetUp();
      Seg s = syn(1000);
      s.ip_hl_bytes = ip_hl;
      s.tcp_off_bytes = tcp_off;
      feed(100, 0, s);
      // The frame holds 20 + 20 bytes: a longer IPv4 header moves the TCP header
      // elsewhere (past the end from 28 bytes on), a longer TCP header only claims
      // options that were not captured.
      bool decodable = ip_hl == 20 && tcp_off >= 20;
      EXPECT_EQ(conn_count(), decodable ? 1u : 0u) << ip_hl << "/" << tcp_off;
    }
  }
}

TEST_F(Decode, WindowDropsPacketsNotNewerThanTheSecondBeforeTheFirst) {
  g_settings.debug = 2;
  testing::internal::CaptureStdout();
  feed(100, 500000, syn(1000));  // window starts at 99.500000
  Seg late = syn(2000);
  late.sport = 6000;
  feed(99, 999999, late);  // whole second 99 <= 99: dropped
  Seg later = syn(3000);
  later.sport = 7000;
  feed(100, 0, later);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find(":Dropping old pkt\n"), std::string::npos);
  EXPECT_NE(client("10.0.0.1", 5555), nullptr);
  EXPECT_EQ(client("10.0.0.1", 6000), nullptr);
  EXPECT_NE(client("10.0.0.1", 7000), nullptr);
  EXPECT_EQ(g_capture.start_time.sec, 100);
  EXPECT_EQ(g_capture.end_time.sec, 100);
  EXPECT_EQ(g_capture.end_time.usec, 0);
  EXPECT_EQ(g_capture.window_start.sec, 99);
  EXPECT_EQ(g_capture.packet_count, 3u);
}

TEST_F(Decode, SinceTimeOfDayUsesTheFirstPacketsDate) {
  g_settings.has_since = true;
  g_settings.since_text = "12:00:00";
  const int64_t t1159 = 1614859140;  // 2021-03-04 11:59:00 UTC
  feed(t1159, 0, syn(1));
  Seg at_noon = syn(2);
  at_noon.sport = 6000;
  feed(t1159 + 60, 999999, at_noon);  // 12:00:00.999999: not newer than 12:00:00
  Seg after = syn(3);
  after.sport = 7000;
  feed(t1159 + 61, 0, after);  // 12:00:01
  EXPECT_EQ(g_capture.window_start.sec, t1159 + 60);
  EXPECT_EQ(conn_count(), 1u);
  EXPECT_NE(client("10.0.0.1", 7000), nullptr);
}

TEST_F(Decode, SinceDateAndTime) {
  g_settings.has_since = true;
  g_settings.since_text = "2021-03-05.00:00:10";
  feed(1614859140, 0, syn(1));
  EXPECT_EQ(g_capture.window_start.sec, 1614902400 + 10);
  EXPECT_EQ(conn_count(), 0u);
}

TEST_F(Decode, PacketTraces) {
  g_settings.debug = 2;
  testing::internal::CaptureStdout();
  Packet p = at(100, 0, syn(1000));
  p.wire_len = 1514;
  feed(p);
  std::string out = normalize_prefix(testing::internal::GetCapturedStdout());
  EXPECT_EQ(out,
            "FILE:LINE:Got packet 1:len = 1514, caplen = 54\n\n"
            "FILE:LINE:Proto = 6\n\n"
            "FILE:LINE:FOUND TCP/IP PACKET\n\n"
            "FILE:LINE:IP hdr len = 20\n\n"
            "FILE:LINE:IP total len = 40\n\n"
            "FILE:LINE:TCP data offset = 20, TCP len = 20\n\n"
            "10.0.0.1:5555 > 10.0.0.2:80 S SEQ:1000\n");
}

TEST_F(Decode, StatusLineStepOfZeroNeverFires) {
  g_settings.report_variant = 999;
  for (int every : {5, -9, 9}) {
    g_settings.status_every = every;
    testing::internal::CaptureStdout();
    for (int i = 0; i < 30; ++i) feed(100, i, syn(1000));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << every;
  }
}

TEST_F(Decode, StatusLineEveryTenthOfItsSetting) {
  g_settings.report_variant = 999;
  g_settings.status_every = -1000;  // the magnitude of the step counts
  testing::internal::CaptureStdout();
  for (int i = 0; i < 250; ++i) feed(100, i, syn(1000));
  std::string out = testing::internal::GetCapturedStdout();
  // Packets 1, 101 and 201; at the first one the window has not started yet.
  EXPECT_EQ(out, "0, 0.000000 0\n1, 1.000000 0\n1, 1.000000 0\n");
}

}  // namespace
