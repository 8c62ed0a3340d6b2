// Segments handed on in batches (the quiet file run) must leave exactly the state
// and output that handing them on one at a time leaves: random traffic on a few
// endpoints, so that one batch often holds several segments of one connection.
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "track/decode.h"
#include "unit/fixture.h"

using namespace testlib;

namespace {

using Deferred = TrackerTest;

// Frames on 4 addresses x 4 ports: every kind of segment in every state, port
// reuse with matching and non-matching acknowledgements, and frames the decoder
// drops in between.
std::vector<Packet> random_traffic(uint32_t seed, int count) {
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
    packets.push_back(at(100 + usec / 1000000, usec % 1000000, s));
  }
  return packets;
}

// Everything a report could read, and what was printed.
std::string state(const std::string& printed) {
  std::ostringstream out;
  const RunTotals& t = g_totals;
  out << "totals " << t.total_syns << ' ' << t.dup_syns << ' ' << t.resets << ' ' << t.nconns << ' '
      << t.sum_client_bytes << ' ' << t.sum_server_bytes << ' ' << t.sum_duration << ' '
      << t.sum_rtt << ' ' << t.sum_syns << '\n';
  for (size_t i = 0; i < g_buckets.size; i++) {
    const Bucket& b = g_buckets.rows[i];
    out << "bucket " << b.count << ' ' << b.client_bytes << ' ' << b.server_bytes << ' ' << b.rtt
        << ' ' << b.duration << ' ' << b.throughput << '\n';
  }
  for (const auto& [nsyns, conns] : g_syn_dist) out << "syns " << nsyns << ':' << conns << '\n';
  for (const FilterEntry& f : g_filters)
    out << "filter " << f.addr_a << ' ' << f.addr_b << ' ' << f.client_port << '\n';
  for (const ConnInfo* r : conns_in_key_order())
    out << "conn " << r->client_addr << ':' << r->client_port << " state " << r->state << " syn "
        << r->syn_time.sec << '.' << r->syn_time.usec << " fin " << r->fin_time.sec << '.'
        << r->fin_time.usec << " rtt " << r->rtt << " isn " << r->client_isn << '/' << r->server_isn
        << " pending " << r->pending_isn << '@' << r->pending_syn_time.sec << '.'
        << r->pending_syn_time.usec << " nsyns " << r->nsyns << " fin_sender " << r->fin_sender
        << " synacks " << r->synacks << " bucket " << r->bucket << '\n';
  return out.str() + printed;
}

TEST_F(Deferred, SameStateAsOneAtATime) {
  for (uint32_t seed = 1; seed <= 20; seed++) {
    const std::vector<Packet> packets = random_traffic(seed, 400);
    std::string expected;
    for (bool batched : {false, true}) {
      SetUp();
      g_settings.min_syns = 2;  // NSYNS lines, printed while the segments are handled
      g_settings.filter_from = 0;
      g_settings.filter_to = -1;
      ASSERT_EQ(can_defer_segments(), true);
      testing::internal::CaptureStdout();
      for (const Packet& p : packets) {
        pcap_pkthdr h{};
        h.ts.tv_sec = static_cast<time_t>(p.sec);
        h.ts.tv_usec = static_cast<suseconds_t>(p.usec);
        h.caplen = h.len = static_cast<bpf_u_int32>(p.data.size());
        if (batched)
          handle_packet_deferred(nullptr, &h, p.data.data());
        else
          handle_packet(nullptr, &h, p.data.data());
      }
      if (batched) flush_deferred_segments();
      const std::string got = state(testing::internal::GetCapturedStdout());
      if (!batched)
        expected = got;
      else
        EXPECT_EQ(got, expected) << "seed " << seed;
    }
  }
}

TEST_F(Deferred, OnlyQuietFileRuns) {
  struct Case {
    const char* name;
    bool offline;
    int debug;
    int status_every;
    bool deferred;
  } cases[] = {
      {"file run", true, 0, 0, true},
      {"live run", false, 0, 0, false},
      {"with -d", true, 1, 0, false},
      {"with -m", true, 0, 1000, false},
  };
  for (const Case& c : cases) {
    g_capture.offline = c.offline;
    g_settings.debug = c.debug;
    g_settings.status_every = c.status_every;
    EXPECT_EQ(can_defer_segments(), c.deferred) << c.name;
  }
}

}  // namespace
