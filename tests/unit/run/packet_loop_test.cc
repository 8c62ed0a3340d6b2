// The packet loop: the run's clock and time window, the packet traces in their
// order, the status line's period, and segments handed on in batches.
#include "run/packet_loop.h"

#include <csignal>
#include <cstring>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "run/signals.h"
#include "stats/run_clock.h"
#include "testlib/runner.h"
#include "track/addr_pool.h"
#include "unit/tracker_fixture.h"

using namespace testlib;

namespace {

class PacketLoop : public TrackerTest {
 protected:
  // The frame is copied into a buffer of exactly its captured length, so that
  // AddressSanitizer catches any read past it.
  void take(const Packet& p, bool deferred = false) {
    const pcap_pkthdr h = header_of(p);
    std::unique_ptr<u_char[]> exact(new u_char[p.data.empty() ? 1 : p.data.size()]);
    if (!p.data.empty()) std::memcpy(exact.get(), p.data.data(), p.data.size());
    u_char* const user = reinterpret_cast<u_char*>(&packet_feed());
    if (deferred)
      handle_packet_deferred(user, &h, exact.get());
    else
      handle_packet(user, &h, exact.get());
  }
  void take(int64_t sec, int64_t usec, const Seg& seg) { take(at(sec, usec, seg)); }
  size_t records() { return conn_count(monitor().table); }
  std::string state(const std::string& printed);
  size_t addresses_held();
};

// An IPv6 SYN behind a hop-by-hop options header: not TCP as far as portsift reads.
// An IPv6 ACK behind a Hop-by-Hop header (read up to its flags), or behind an
// Authentication Header (not read).
Packet ipv6_behind(const Ip6Header& header) {
  Seg s = as_ipv6(syn(1000));
  s.flags = ACK;
  s.ip6_headers = {header};
  return at(100, 0, s);
}

TEST_F(PacketLoop, TracesFollowDecodingAsFarAsItGets) {
  const struct {
    const char* name;
    Packet packet;
    const char* traces;  // after the "Got packet" trace
    bool decode_all = false;
  } cases[] = {
      {"Arp", at(100, 0, arp_frame()), "FILE:LINE:Not IP packet\n\n"},
      {"Udp", at(100, 0, udp_frame(Link::ETHERNET, "10.0.0.1", "10.0.0.2", 5555, 80)),
       "FILE:LINE:Proto = 17\n\nFILE:LINE:Not TCP packet\n"},
      {"ShortLink", at(100, 0, std::vector<uint8_t>(13)), ""},
      {"SynAcrossTheWindow", at(99, 0, syn(1000)),
       "FILE:LINE:Proto = 6\n\nFILE:LINE:FOUND TCP/IP PACKET\n\nFILE:LINE:IP hdr len = 20\n\n"
       "FILE:LINE:IP total len = 40\n\nFILE:LINE:Dropping old pkt\n"},
      {"Ipv6WithoutDecodeAll", at(100, 0, as_ipv6(syn(1000))), "FILE:LINE:Not IP packet\n\n"},
      {"Ipv6HopByHop", ipv6_behind(option_header(0, 1)),
       "FILE:LINE:Proto = 6\n\nFILE:LINE:FOUND TCP/IP PACKET\n\nFILE:LINE:IP hdr len = 56\n\n"
       "FILE:LINE:IP total len = 76\n\nFILE:LINE:TCP data offset = 20, TCP len = 20\n\n",
       true},
      {"Ipv6AuthenticationHeader", ipv6_behind(Ip6Header{51, std::vector<uint8_t>(16)}),
       "FILE:LINE:Proto = 51\n\nFILE:LINE:Not TCP packet\n", true},
  };
  for (const auto& c : cases) {
    start(c.decode_all ? std::vector<std::string>{"--decode-all", "-d", "-d"}
                       : std::vector<std::string>{"-d", "-d"});
    take(at(100, 0, arp_frame()));  // opens the window at 99
    out();
    take(c.packet);
    const std::string traces = normalize_prefix(out());
    const std::string got = "FILE:LINE:Got packet 2:len = ";
    ASSERT_EQ(traces.compare(0, got.size(), got), 0) << c.name << ": " << traces;
    EXPECT_EQ(traces.substr(traces.find("\n\n") + 2), c.traces) << c.name;
    EXPECT_EQ(records(), 0u) << c.name;
    EXPECT_EQ(run().clock.packet_count, 2u) << c.name;
  }
}

TEST_F(PacketLoop, TracesOfASegment) {
  start({"-d", "-d"});
  Packet p = at(100, 0, syn(1000));
  p.wire_len = 1514;
  take(p);
  EXPECT_EQ(normalize_prefix(out()),
            "FILE:LINE:Got packet 1:len = 1514, caplen = 54\n\n"
            "FILE:LINE:Proto = 6\n\n"
            "FILE:LINE:FOUND TCP/IP PACKET\n\n"
            "FILE:LINE:IP hdr len = 20\n\n"
            "FILE:LINE:IP total len = 40\n\n"
            "FILE:LINE:TCP data offset = 20, TCP len = 20\n\n"
            "10.0.0.1:5555 > 10.0.0.2:80 S SEQ:1000\n");
}

TEST_F(PacketLoop, TracesOfAnIpv6SegmentBehindAVlanTag) {
  start({"--decode-all", "-d", "-d"});
  Seg s = as_ipv6(syn(1000));
  s.vlan_tags = {0x8100};
  take(at(100, 0, s));
  EXPECT_EQ(normalize_prefix(out()),
            "FILE:LINE:Got packet 1:len = 78, caplen = 78\n\n"
            "FILE:LINE:Proto = 6\n\n"
            "FILE:LINE:FOUND TCP/IP PACKET\n\n"
            "FILE:LINE:IP hdr len = 40\n\n"
            "FILE:LINE:IP total len = 60\n\n"
            "FILE:LINE:TCP data offset = 20, TCP len = 20\n\n"
            "[2001:db8::1]:5555 > [2001:db8::2]:80 S SEQ:1000\n");
  EXPECT_NE(client("2001:db8::1", 5555), nullptr);
  EXPECT_EQ(run().pool.size, 1u);  // the client's address, held by its record
}

TEST_F(PacketLoop, WindowDropsPacketsNotNewerThanTheSecondBeforeTheFirst) {
  take(100, 500000, syn(1000));  // window starts at 99.500000
  Seg late = syn(2000);
  late.sport = 6000;
  take(99, 999999, late);  // whole second 99 <= 99: dropped
  Seg later = syn(3000);
  later.sport = 7000;
  take(100, 0, later);
  EXPECT_NE(client("10.0.0.1", 5555), nullptr);
  EXPECT_EQ(client("10.0.0.1", 6000), nullptr);
  EXPECT_NE(client("10.0.0.1", 7000), nullptr);
  const RunClock& clock = run().clock;
  EXPECT_EQ(clock.start_time.sec, 100);
  EXPECT_EQ(clock.end_time.sec, 100);
  EXPECT_EQ(clock.end_time.usec, 0);
  EXPECT_EQ(clock.window_start.sec, 99);
  EXPECT_EQ(clock.packet_count, 3u);
}

TEST_F(PacketLoop, SinceTimeOfDayUsesTheFirstPacketsDate) {
  start({"-I", "12:00:00"});
  const int64_t t1159 = 1614859140;      // 2021-03-04 11:59:00 UTC
  take(t1159, 0, syn(1));
  Seg at_noon = syn(2);
  at_noon.sport = 6000;
  take(t1159 + 60, 999999, at_noon);  // 12:00:00.999999: not newer than 12:00:00
  Seg after = syn(3);
  after.sport = 7000;
  take(t1159 + 61, 0, after);  // 12:00:01
  EXPECT_EQ(run().clock.window_start.sec, t1159 + 60);
  EXPECT_EQ(records(), 1u);
  EXPECT_NE(client("10.0.0.1", 7000), nullptr);
}

TEST_F(PacketLoop, SinceDateAndTime) {
  start({"-I", "2021-03-05.00:00:10"});
  take(1614859140, 0, syn(1));
  EXPECT_EQ(run().clock.window_start.sec, 1614902400 + 10);
  EXPECT_EQ(records(), 0u);
}

// A live run asked to stop, by a signal or by a table out of memory.
TEST_F(PacketLoop, StopRequestedHandlesNoFurtherPacket) {
  for (bool by_signal : {true, false}) {
    start();
    run().offline = false;
    take(100, 0, syn(1000));
    if (by_signal) {
      install_signals();
      std::raise(SIGALRM);
      ASSERT_TRUE(stop_signalled());
    } else {
      run().out_of_memory = true;
    }
    Seg other = syn(2000);
    other.sport = 6000;
    take(100, 1, other);
    EXPECT_EQ(records(), 1u) << by_signal;
    EXPECT_EQ(run().clock.packet_count, 1u) << by_signal;
    clear_stop_signal();
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGALRM, SIG_DFL);
  }
}

TEST_F(PacketLoop, StatusLineStepOfZeroNeverFires) {
  for (int every : {5, -9, 9}) {
    start({"-V", "999", "-m", std::to_string(every)});
    for (int i = 0; i < 30; ++i) take(100, i, syn(1000));
    EXPECT_EQ(out(), "") << every;
  }
}

TEST_F(PacketLoop, StatusLineEveryTenthOfItsSetting) {
  start({"-V", "999", "-m", "-1000"});  // the magnitude of the step counts
  for (int i = 0; i < 250; ++i) take(100, i, syn(1000));
  // Packets 1, 101 and 201; at the first one the window has not started yet.
  EXPECT_EQ(out(), "0, 0.000000 0\n1, 1.000000 0\n1, 1.000000 0\n");
}

// Frames on 4 addresses x 4 ports: every kind of segment in every state, port
// reuse with matching and non-matching acknowledgements, and frames the decoder
// drops in between. With `ipv6`, the same over IPv6 (on addresses of their own),
// half of them behind a VLAN tag, mixed with the IPv4 ones.
std::vector<Packet> random_traffic(uint32_t seed, int count, bool ipv6 = false) {
  std::mt19937 rng(seed);
  std::vector<Packet> packets;
  int64_t usec = 0;
  for (int i = 0; i < count; i++) {
    usec += rng() % 400000;  // FIN-to-FIN intervals on both sides of 1.1 s
    Seg s;
    s.src = "10.0.0." + std::to_string(1 + rng() % 4);
    s.sport = static_cast<uint16_t>(5555 + rng() % 4);
    const uint32_t isn = 1000 * (1 + rng() % 3);  // few values, so some match
    switch (rng() % 9) {
      case 0:
      case 1:
        s.flags = SYN;
        s.seq = isn;
        break;
      case 2:
      case 3:
        s.flags = SYN | ACK;
        s.seq = 9000;
        s.ack = isn + 1;
        break;
      case 4:
      case 5:
        s.flags = FIN | ACK;
        s.seq = isn + rng() % 5000;
        s.ack = 9000 + rng() % 5000;
        s.payload = rng() % 3 == 0 ? 100 : 0;
        break;
      case 6:
        s.flags = RST;
        s.seq = isn;
        break;
      case 7:
        packets.push_back(at(100 + usec / 1000000, usec % 1000000, arp_frame()));
        continue;
      default:
        s.flags = ACK;  // a segment the tracker ignores
        break;
    }
    if (rng() % 2 == 0 && s.flags != SYN) {  // from the server
      std::swap(s.src, s.dst);
      std::swap(s.sport, s.dport);
    }
    if (ipv6 && rng() % 2 == 0) {
      s = as_ipv6(s);
      if (rng() % 2 == 0) s.vlan_tags = {0x8100};
    }
    packets.push_back(at(100 + usec / 1000000, usec % 1000000, s));
  }
  return packets;
}

// Everything a report could read, and what was printed.
std::string PacketLoop::state(const std::string& printed) {
  std::ostringstream out;
  const Monitor& m = monitor();
  const AddrPool& pool = run().pool;
  const RunTotals& t = m.totals;
  out << "totals " << t.total_syns << ' ' << t.dup_syns << ' ' << t.resets << ' '
      << t.nconns << ' ' << t.sum_client_bytes << ' ' << t.sum_server_bytes << ' ' << t.sum_duration
      << ' ' << t.sum_rtt << ' ' << t.sum_syns << '\n';
  for (size_t i = 0; i < m.buckets.size(); i++) {
    const Bucket& b = m.buckets[i];
    out << "bucket " << b.count << ' ' << b.client_bytes << ' ' << b.server_bytes << ' ' << b.rtt
        << ' ' << b.duration << ' ' << b.throughput << '\n';
  }
  for (const auto& [nsyns, conns] : m.syn_dist) out << "syns " << nsyns << ':' << conns << '\n';
  // Addresses as text: an IPv6 address's number depends on when others were freed.
  for (const FilterEntry& f : m.filters)
    out << "filter " << addr_text(pool, f.addr_a, f.family).text << ' '
        << addr_text(pool, f.addr_b, f.family).text << ' ' << f.client_port << '\n';
  for (const ConnInfo* r : conns_in_key_order(m.table))
    out << "conn " << addr_text(pool, r->client).text << ':' << r->client.port << " state " << r->state
        << " syn " << r->syn_time.sec << '.' << r->syn_time.usec << " fin " << r->fin_time.sec
        << '.' << r->fin_time.usec << " rtt " << r->rtt << " isn " << r->client_isn << '/'
        << r->server_isn << " pending " << r->pending_isn << '@' << r->pending_syn_time.sec << '.'
        << r->pending_syn_time.usec << " nsyns " << r->nsyns << " fin_sender "
        << (r->state == CLOSING ? addr_text(pool, r->fin_sender, r->client.family).text : "-") << ":"
        << r->fin_sender_port << " synacks " << r->synacks << " bucket " << r->bucket << '\n';
  return out.str() + printed;
}

// Segments handed on in batches (the quiet file run) must leave exactly the state
// and output that handing them on one at a time leaves: random traffic on a few
// endpoints, so that one batch often holds several segments of one connection.
// The IPv6 addresses something still holds: records' clients, closing records'
// first-FIN senders, -D entries.
size_t PacketLoop::addresses_held() {
  const AddrPool& pool = run().pool;
  std::set<std::string> held;
  conn_for_each(monitor().table, [&](const ConnInfo& r) {
    if (r.client.family != Family::IPV6) return;
    held.insert(addr_text(pool, r.client).text);
    if (r.fin_sender.raw != AddrPool::NO_NUMBER)
      held.insert(addr_text(pool, r.fin_sender, Family::IPV6).text);
  });
  for (const FilterEntry& f : monitor().filters) {
    if (f.family != Family::IPV6) continue;
    held.insert(addr_text(pool, f.addr_a, f.family).text);
    held.insert(addr_text(pool, f.addr_b, f.family).text);
  }
  return held.size();
}

TEST_F(PacketLoop, BatchesLeaveTheSameStateAsOneAtATime) {
  for (bool decode_all : {false, true}) {
    for (uint32_t seed = 1; seed <= 20; seed++) {
      const std::vector<Packet> packets = random_traffic(seed, 400, decode_all);
      std::string expected;
      for (bool batched : {false, true}) {
        // NSYNS lines, printed while the segments are handled, and a -D listing of
        // every connection (one bucket of 1000 s).
        std::vector<std::string> options = {"-c", "2", "-D", "0", "-s", "1000000"};
        if (decode_all) options.push_back("--decode-all");
        start(options);
        ASSERT_EQ(can_defer_segments(run()), true);
        for (const Packet& p : packets) take(p, batched);
        if (batched) flush_deferred_segments(packet_feed());
        const std::string got = state(out());
        // The pool holds exactly what the records and the listing refer to.
        EXPECT_EQ(run().pool.size, addresses_held()) << "seed " << seed;
        if (!batched)
          expected = got;
        else
          EXPECT_EQ(got, expected) << "seed " << seed << (decode_all ? " with IPv6" : "");
      }
      if (decode_all) {
        EXPECT_NE(expected.find("conn 2001:db8::"), std::string::npos) << expected;
        EXPECT_NE(expected.find("filter 2001:db8::"), std::string::npos) << expected;
      }
    }
  }
}

}  // namespace
